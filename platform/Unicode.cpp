#include "platform/Unicode.h"

#include <unicode/brkiter.h>
#include <unicode/coll.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <cstdint>
#include <memory>

namespace tvr::unicode {

namespace {
icu::UnicodeString fromUTF8(std::string_view text) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string utf8Of(const icu::UnicodeString& s) {
  std::string out;
  s.toUTF8String(out);
  return out;
}
}  // namespace

std::u32string toUTF32(std::string_view text) {
  icu::UnicodeString s = fromUTF8(text);
  std::u32string out;
  out.reserve(static_cast<std::size_t>(s.length()));
  for (int32_t i = 0; i < s.length();) {
    UChar32 c = s.char32At(i);
    out.push_back(static_cast<char32_t>(c));
    i += U16_LENGTH(c);
  }
  return out;
}

std::string toUTF8(std::u32string_view text) {
  icu::UnicodeString s;
  for (char32_t c : text) s.append(static_cast<UChar32>(c));
  return utf8Of(s);
}

std::size_t utf8SequenceLength(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(at);
  if (lead < 0x80) return 1;
  std::size_t length;
  std::uint32_t lowest;
  std::uint32_t value;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, lowest = 0x80, value = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, lowest = 0x800, value = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, lowest = 0x10000, value = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const std::uint8_t next = byte(at + k);
    if ((next & 0xC0) != 0x80) return 0;
    value = (value << 6) | (next & 0x3F);
  }
  if (value < lowest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  return length;
}

bool isValidUTF8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = utf8SequenceLength(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string nfc(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) return std::string(text);
  icu::UnicodeString out = normalizer->normalize(fromUTF8(text), status);
  if (U_FAILURE(status)) return std::string(text);
  return utf8Of(out);
}

std::string lowercased(std::string_view text) {
  icu::UnicodeString s = fromUTF8(text);
  s.toLower(icu::Locale::getRoot());
  return utf8Of(s);
}

bool isLetterMarkOrNumber(char32_t c) {
  int32_t mask = U_GET_GC_MASK(static_cast<UChar32>(c));
  return (mask & (U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK)) != 0;
}

bool isLetterOrNumber(char32_t c) {
  int32_t mask = U_GET_GC_MASK(static_cast<UChar32>(c));
  return (mask & (U_GC_L_MASK | U_GC_N_MASK)) != 0;
}

bool isControlOrFormat(char32_t c) {
  int8_t type = u_charType(static_cast<UChar32>(c));
  return type == U_CONTROL_CHAR || type == U_FORMAT_CHAR;
}

bool containsControlOrFormat(std::string_view text) {
  for (char32_t c : toUTF32(text)) {
    if (isControlOrFormat(c)) return true;
  }
  return false;
}

std::size_t graphemeClusterCount(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  icu::UnicodeString s = fromUTF8(text);
  if (U_FAILURE(status)) return static_cast<std::size_t>(s.countChar32());
  it->setText(s);
  std::size_t count = 0;
  for (int32_t p = it->next(); p != icu::BreakIterator::DONE; p = it->next()) ++count;
  return count;
}

int finderCompare(std::string_view a, std::string_view b) {
  // One configured collator for the process, and a clone of it per thread: a collator keeps
  // state while it compares, and a shared one behind a lock made every sort on more than one
  // core wait for it.
  static const std::unique_ptr<icu::Collator> prototype = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> c(icu::Collator::createInstance(icu::Locale::getRoot(), status));
    if (U_SUCCESS(status)) {
      c->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
      c->setStrength(icu::Collator::SECONDARY);
    }
    return U_SUCCESS(status) ? std::move(c) : nullptr;
  }();
  if (!prototype) return a.compare(b);
  thread_local const std::unique_ptr<icu::Collator> collator(prototype->clone());
  if (!collator) return a.compare(b);
  UErrorCode status = U_ZERO_ERROR;
  UCollationResult r = collator->compareUTF8(icu::StringPiece(a.data(), static_cast<int32_t>(a.size())),
                                             icu::StringPiece(b.data(), static_cast<int32_t>(b.size())), status);
  if (U_FAILURE(status)) return a.compare(b);
  return r == UCOL_LESS ? -1 : (r == UCOL_GREATER ? 1 : 0);
}

}  // namespace tvr::unicode
