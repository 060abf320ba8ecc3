#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "BackupCLI/SearchMode.h"

namespace tvr::cli {

// Ranks a file name against a query: exact, prefix, substring, subsequence and near-miss
// (typo) matches. Both sides are normalised first (case, diacritic and width folding, then
// everything but letters and digits removed). Stateless and thread-safe; never throws.
namespace FuzzyFilenameMatcher {

enum class MatchType { exact, prefix, contains, subsequence, typo };
const char* matchTypeText(MatchType type);

struct Match {
  int score;
  MatchType matchType;
  bool operator==(const Match& other) const = default;
};

std::optional<Match> match(std::string_view query, std::string_view filename, SearchMode mode);

// Greedy in-order match of the query's characters in the file name (both normalised).
std::optional<int> subsequenceScore(std::u32string_view query, std::u32string_view filename);

std::size_t levenshteinDistance(std::u32string_view a, std::u32string_view b);

// The normalised form the matcher compares.
std::u32string normalized(std::string_view text);

}  // namespace FuzzyFilenameMatcher
}  // namespace tvr::cli
