// ParsedOptions accessors: booleans, integers, run IDs, search modes and raw values.

#include <gtest/gtest.h>

#include "BackupCLI/ParsedOptions.h"

namespace tvr::cli {
namespace {

std::string errorCode(const std::function<void()>& action) {
  try {
    action();
  } catch (const CLIError& error) {
    return error.code();
  }
  return "";
}

TEST(ParsedOptionsTest, KeepsValuesAsTypedAndFlagsAsTrue) {
  ParsedOptions options("search", {"repo/", "--name", "-notes", "--plan", "", "--exact", "--run", "-"});
  EXPECT_EQ(options.repository(), std::filesystem::current_path() / "repo");
  EXPECT_EQ(options.value("--name"), "-notes");
  EXPECT_EQ(options.value("--plan"), "");
  EXPECT_EQ(options.value("--exact"), "true");
  EXPECT_EQ(options.value("--run"), "-");
  EXPECT_EQ(options.value("--limit"), std::nullopt);
  EXPECT_EQ(options.searchMode(), SearchMode::exact);
  EXPECT_EQ(ParsedOptions("restore", {"/abs/repo"}).repository(), std::filesystem::path("/abs/repo"));
  EXPECT_EQ(ParsedOptions("restore", {"~/repo"}).repository(), std::filesystem::current_path() / "~/repo")
      << "no tilde expansion";
}

TEST(ParsedOptionsTest, BooleanValues) {
  struct Case {
    const char* value;
    std::optional<bool> expected;  // absent: invalid_boolean
  };
  const Case cases[] = {{"true", true}, {"YES", true}, {"1", true}, {"Yes", true}, {"false", false}, {"No", false},
                        {"0", false},   {"maybe", {}}, {"", {}},    {" true", {}}, {"2", {}},        {"t", {}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    ParsedOptions options("restore", {"repo", "--overwrite", c.value});
    if (c.expected) {
      EXPECT_EQ(options.boolValue("--overwrite"), c.expected);
    } else {
      EXPECT_EQ(errorCode([&] { options.boolValue("--overwrite"); }), "invalid_boolean");
    }
  }
  EXPECT_EQ(ParsedOptions("restore", {"repo"}).boolValue("--overwrite"), std::nullopt);
  EXPECT_EQ(ParsedOptions("restore", {"repo", "--dry-run"}).boolValue("--dry-run"), true);
}

TEST(ParsedOptionsTest, IntegersAndRunIDs) {
  struct Case {
    const char* value;
    std::optional<std::int64_t> integer;
    std::string runError;  // empty: a valid run ID equal to `integer`
  };
  const Case cases[] = {
      {"8", 8, ""},
      {"+8", 8, ""},
      {"-3", -3, "invalid_run_id"},
      {"0", 0, "invalid_run_id"},
      {"-0", 0, "invalid_run_id"},
      {"9223372036854775807", INT64_MAX, ""},
      {"-9223372036854775808", INT64_MIN, "invalid_run_id"},
      {"9223372036854775808", std::nullopt, "invalid_integer"},
      {"8x", std::nullopt, "invalid_integer"},
      {"", std::nullopt, "invalid_integer"},
      {"+", std::nullopt, "invalid_integer"},
      {"+-8", std::nullopt, "invalid_integer"},
      {" 8", std::nullopt, "invalid_integer"},
      {"8 ", std::nullopt, "invalid_integer"},
      {"0x10", std::nullopt, "invalid_integer"},
      {"1e3", std::nullopt, "invalid_integer"},
      {"\u0663", std::nullopt, "invalid_integer"},  // ARABIC-INDIC DIGIT THREE
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(parseInt64(c.value), c.integer);
    ParsedOptions options("search", {"repo", "--run", c.value, "--limit", c.value});
    if (c.runError.empty()) {
      EXPECT_EQ(options.requiredRunID(), *c.integer);
    } else {
      EXPECT_EQ(errorCode([&] { options.requiredRunID(); }), c.runError);
    }
    if (c.integer) {
      EXPECT_EQ(options.intValue("--limit"), c.integer);
    } else {
      try {
        options.intValue("--limit");
        ADD_FAILURE() << "accepted";
      } catch (const CLIError& error) {
        EXPECT_EQ(error.code(), "invalid_integer");
        EXPECT_EQ(error.details(), (std::map<std::string, std::string>{{"option", "--limit"}, {"value", c.value}}));
      }
    }
  }
}

TEST(ParsedOptionsTest, SearchModes) {
  auto mode = [](std::vector<std::string> flags) {
    flags.insert(flags.begin(), "repo");
    return ParsedOptions("search", flags).searchMode();
  };
  EXPECT_EQ(mode({}), SearchMode::fuzzy);
  EXPECT_EQ(mode({"--prefix"}), SearchMode::prefix);
  EXPECT_EQ(mode({"--contains"}), SearchMode::contains);
  EXPECT_EQ(searchModeText(SearchMode::contains), "contains");
  EXPECT_EQ(errorCode([&] { mode({"--prefix", "--contains"}); }), "multiple_search_modes");
}

TEST(ParsedOptionsTest, NonEmptyValueAndOptionSets) {
  ParsedOptions options("hydrate-s3", {"repo", "--bucket", "", "--region", "auto"});
  EXPECT_EQ(errorCode([&] { options.nonEmptyValue("--bucket"); }), "empty_option_value");
  EXPECT_EQ(options.nonEmptyValue("--region"), "auto");
  EXPECT_EQ(options.nonEmptyValue("--endpoint"), std::nullopt);
  EXPECT_EQ(ParsedOptions::acceptedOptions("verify"),
            (std::set<std::string>{"--recovery-password", "--recovery-password-file", "--recovery-password-env"}));
  EXPECT_TRUE(ParsedOptions::acceptedOptions("info").empty());
  EXPECT_EQ(errorCode([] { ParsedOptions("info", {"repo", "--plan", "p"}); }), "unknown_option");
  EXPECT_EQ(ParsedOptions::valuelessFlags(), (std::set<std::string>{"--exact", "--prefix", "--contains", "--dry-run"}));
}

// The option sets come from the command table's option metadata: the password-file entry
// stands for all three password sources, positional arguments and --output are not options.
TEST(ParsedOptionsTest, EveryCommandAcceptsExactlyItsOptions) {
  const std::set<std::string> password = {"--recovery-password", "--recovery-password-file",
                                          "--recovery-password-env"};
  auto with = [](std::set<std::string> set, const std::set<std::string>& more) {
    set.insert(more.begin(), more.end());
    return set;
  };
  const std::pair<const char*, std::set<std::string>> cases[] = {
      {"commands", {}},
      {"describe", {}},
      {"list-plans", {}},
      {"list-runs", {"--plan"}},
      {"list", with({"--plan", "--run", "--path"}, password)},
      {"search", with({"--plan", "--run", "--name", "--limit", "--exact", "--prefix", "--contains"}, password)},
      {"restore", with({"--plan", "--run", "--path", "--to", "--overwrite", "--dry-run"}, password)},
      {"export", with({"--plan", "--run", "--to", "--overwrite", "--dry-run"}, password)},
      {"hydrate-local", {"--to", "--overwrite", "--dry-run"}},
      {"hydrate-s3",
       {"--bucket", "--region", "--access-key-id", "--secret-access-key", "--session-token", "--endpoint",
        "--path-style", "--overwrite", "--dry-run"}},
  };
  for (const auto& [command, accepted] : cases) {
    SCOPED_TRACE(command);
    EXPECT_EQ(ParsedOptions::acceptedOptions(command), accepted);
  }
}

}  // namespace
}  // namespace tvr::cli
