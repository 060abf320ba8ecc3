#include "BackupCLI/FuzzyFilenameMatcher.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace tvr::cli {

namespace FuzzyFilenameMatcher {

const char* matchTypeText(MatchType type) {
  switch (type) {
    case MatchType::exact:
      return "exact";
    case MatchType::prefix:
      return "prefix";
    case MatchType::contains:
      return "contains";
    case MatchType::subsequence:
      return "subsequence";
    case MatchType::typo:
      return "typo";
  }
  return "exact";
}

namespace {

// Half-width and full-width forms fold to their ordinary counterparts.
bool isWidthVariant(UChar32 c) { return c >= 0xFF00 && c <= 0xFFEF; }

}  // namespace

std::u32string normalized(std::string_view text) {
  icu::UnicodeString s = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  s.foldCase(U_FOLD_CASE_DEFAULT);

  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  const icu::Normalizer2* nfkc = icu::Normalizer2::getNFKCInstance(status);
  if (U_SUCCESS(status)) {
    icu::UnicodeString widthFolded;
    for (int32_t i = 0; i < s.length();) {
      UChar32 c = s.char32At(i);
      i += U16_LENGTH(c);
      if (isWidthVariant(c)) {
        UErrorCode st = U_ZERO_ERROR;
        icu::UnicodeString folded = nfkc->normalize(icu::UnicodeString(c), st);
        widthFolded.append(U_SUCCESS(st) ? folded : icu::UnicodeString(c));
      } else {
        widthFolded.append(c);
      }
    }
    icu::UnicodeString decomposed = nfd->normalize(widthFolded, status);
    if (U_SUCCESS(status)) s = decomposed;
  }

  // Diacritics (non-spacing marks) go; of the rest only letters and decimal digits of any
  // script stay. For Latin text that leaves exactly a-z and 0-9.
  std::u32string out;
  out.reserve(static_cast<std::size_t>(s.length()));
  for (int32_t i = 0; i < s.length();) {
    UChar32 c = s.char32At(i);
    i += U16_LENGTH(c);
    int32_t mask = U_GET_GC_MASK(c);
    if (mask & U_GC_MN_MASK) continue;
    if (mask & (U_GC_L_MASK | U_GC_ND_MASK)) {
      // Case folding may leave a few upper-case letters without a folded form; lower them.
      out.push_back(static_cast<char32_t>(u_tolower(c)));
    }
  }
  return out;
}

std::optional<int> subsequenceScore(std::u32string_view q, std::u32string_view f) {
  if (q.empty()) return std::nullopt;
  long first = -1, previous = -1, gaps = 0;
  std::size_t from = 0;
  for (char32_t c : q) {
    std::size_t pos = f.find(c, from);
    if (pos == std::u32string_view::npos) return std::nullopt;
    long p = static_cast<long>(pos);
    if (first < 0) {
      first = p;
    } else {
      gaps += p - previous - 1;
    }
    previous = p;
    from = pos + 1;
  }
  long span = previous - first + 1;
  long score = 600 - 8 * first - 10 * gaps - 6 * std::max(span - static_cast<long>(q.size()), 0L);
  return static_cast<int>(std::max(score, 1L));
}

std::size_t levenshteinDistance(std::u32string_view a, std::u32string_view b) {
  if (a.empty()) return b.size();
  if (b.empty()) return a.size();
  std::vector<std::size_t> previous(b.size() + 1), current(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) previous[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    current[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      std::size_t substitution = previous[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, substitution});
    }
    std::swap(previous, current);
  }
  return previous[b.size()];
}

namespace {
std::string_view withoutLastExtension(std::string_view filename) {
  std::size_t dot = filename.rfind('.');
  // A leading dot marks a hidden name, not an extension.
  if (dot == std::string_view::npos || dot == 0) return filename;
  return filename.substr(0, dot);
}

bool startsWith(std::u32string_view text, std::u32string_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool contains(std::u32string_view text, std::u32string_view part) {
  return text.find(part) != std::u32string_view::npos;
}
}  // namespace

std::optional<Match> match(std::string_view query, std::string_view filename, SearchMode mode) {
  // One search matches one query against every file: normalise it once, not per file.
  thread_local std::string lastQuery;
  thread_local std::u32string lastNormalizedQuery;
  if (lastNormalizedQuery.empty() || query != lastQuery) {
    lastQuery = std::string(query);
    lastNormalizedQuery = normalized(query);
  }
  const std::u32string& q = lastNormalizedQuery;
  std::u32string f = normalized(filename);
  if (q.empty() || f.empty()) return std::nullopt;
  std::u32string s = normalized(withoutLastExtension(filename));
  const long lengthGap = static_cast<long>(f.size()) - static_cast<long>(q.size());

  if (f == q || s == q) return Match{1000, MatchType::exact};
  if (mode == SearchMode::exact) return std::nullopt;
  if (startsWith(f, q) || startsWith(s, q)) {
    return Match{static_cast<int>(900 - std::min(lengthGap, 100L)), MatchType::prefix};
  }
  if (mode == SearchMode::prefix) return std::nullopt;
  if (contains(f, q) || contains(s, q)) {
    return Match{static_cast<int>(800 - std::min(lengthGap, 100L)), MatchType::contains};
  }
  if (mode == SearchMode::contains) return std::nullopt;
  if (auto score = subsequenceScore(q, f)) return Match{*score, MatchType::subsequence};

  std::size_t n = q.size();
  std::size_t allowedDistance = n < 3 ? 1 : (n <= 8 ? n / 3 : 3);
  // The distance is at least the length difference: skip the quadratic step when that alone
  // rules a name out, so a very long query costs linear time.
  auto reachable = [&](const std::u32string& name) {
    return (name.size() > n ? name.size() - n : n - name.size()) <= allowedDistance;
  };
  std::size_t d = allowedDistance + 1;
  if (reachable(f)) d = std::min(d, levenshteinDistance(q, f));
  if (reachable(s)) d = std::min(d, levenshteinDistance(q, s));
  if (d > allowedDistance) return std::nullopt;
  long score = 650 - 80 * static_cast<long>(d) - std::labs(lengthGap);
  return Match{static_cast<int>(std::max(score, 1L)), MatchType::typo};
}

}  // namespace FuzzyFilenameMatcher
}  // namespace tvr::cli
