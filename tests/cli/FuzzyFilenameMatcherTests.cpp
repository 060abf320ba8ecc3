#include <gtest/gtest.h>

#include "BackupCLI/FuzzyFilenameMatcher.h"

namespace tvr::cli {
namespace {

using FuzzyFilenameMatcher::Match;
using FuzzyFilenameMatcher::MatchType;

TEST(FuzzyFilenameMatcher, ScoresEachMatchType) {
  struct Case {
    const char* query;
    const char* filename;
    SearchMode mode;
    std::optional<Match> expected;
  } cases[] = {
      {"Report", "report.PDF", SearchMode::fuzzy, Match{1000, MatchType::exact}},
      {"Report", "report.PDF", SearchMode::exact, Match{1000, MatchType::exact}},
      {"report.pdf", "REPORT.pdf", SearchMode::exact, Match{1000, MatchType::exact}},
      {"rep", "report.pdf", SearchMode::fuzzy, Match{894, MatchType::prefix}},
      {"rep", "report.pdf", SearchMode::exact, std::nullopt},
      {"port", "report.pdf", SearchMode::fuzzy, Match{795, MatchType::contains}},
      {"port", "report.pdf", SearchMode::prefix, std::nullopt},
      {"rpt", "report.pdf", SearchMode::fuzzy, Match{552, MatchType::subsequence}},
      {"rpt", "report.pdf", SearchMode::contains, std::nullopt},
      {"reprot", "report.pdf", SearchMode::fuzzy, Match{487, MatchType::typo}},
      {"zzzzzz", "report.pdf", SearchMode::fuzzy, std::nullopt},
      {"...", "report.pdf", SearchMode::fuzzy, std::nullopt},
      {"report", "---", SearchMode::fuzzy, std::nullopt},
      // Diacritics and width fold away: "Stéphane" (decomposed) matches "stephane".
      {"stephane", "Ste\xCC\x81phane.jpg", SearchMode::fuzzy, Match{1000, MatchType::exact}},
      {"\xEF\xBC\xB2\xEF\xBD\x85\xEF\xBD\x90", "report.pdf", SearchMode::fuzzy,
       Match{894, MatchType::prefix}},  // full-width "Rep"
      // Names in other scripts are found by their own letters.
      {"Отчёт", "отчет.txt", SearchMode::fuzzy, Match{1000, MatchType::exact}},
      {"写真", "写真2024.jpg", SearchMode::fuzzy, Match{893, MatchType::prefix}},
      {"δοκιμή", "Δοκιμη final.doc", SearchMode::fuzzy, Match{892, MatchType::prefix}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.query) + " ~ " + c.filename + " (" + searchModeText(c.mode) + ")");
    EXPECT_EQ(FuzzyFilenameMatcher::match(c.query, c.filename, c.mode), c.expected);
  }
}

TEST(FuzzyFilenameMatcher, TypoAllowanceGrowsWithQueryLength) {
  struct Case {
    const char* query;
    const char* filename;
    bool matches;
  } cases[] = {
      {"ax", "bx", true},                 // n < 3: one edit
      {"ab", "cd", false},                // n < 3: two edits
      {"abd", "abc", true},               // 3..5: one edit
      {"abdd", "abcc", false},            // 3..5: two edits
      {"abcdxy", "abcdef", true},         // 6..8: two edits
      {"abcxyz", "abcdef", false},        // 6..8: three edits
      {"abcdefxyz", "abcdefghi", true},   // >= 9: three edits
      {"abcdwxyzq", "abcdefghi", false},  // >= 9: five edits
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.query) + " ~ " + c.filename);
    auto m = FuzzyFilenameMatcher::match(c.query, c.filename, SearchMode::fuzzy);
    EXPECT_EQ(m.has_value() && m->matchType == MatchType::typo, c.matches);
  }
}

TEST(FuzzyFilenameMatcher, SubsequenceAndDistanceHelpers) {
  EXPECT_EQ(FuzzyFilenameMatcher::subsequenceScore(U"rpt", U"reportpdf"), 552);
  EXPECT_EQ(FuzzyFilenameMatcher::subsequenceScore(U"xyz", U"reportpdf"), std::nullopt);
  // A long spread-out match bottoms out at 1.
  EXPECT_EQ(FuzzyFilenameMatcher::subsequenceScore(
                U"az", U"abbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbz"),
            1);
  EXPECT_EQ(FuzzyFilenameMatcher::levenshteinDistance(U"", U"abc"), 3u);
  EXPECT_EQ(FuzzyFilenameMatcher::levenshteinDistance(U"kitten", U"sitting"), 3u);
  EXPECT_EQ(FuzzyFilenameMatcher::levenshteinDistance(U"reprot", U"report"), 2u);
}

}  // namespace
}  // namespace tvr::cli
