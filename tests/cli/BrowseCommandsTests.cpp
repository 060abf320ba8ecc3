// list and search through BackupCLI::run: the sample repository's listings exactly, and a
// built repository whose names make the ranking, the limits and the query checks visible.

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "BackupCLI/BackupCLI.h"
#include "tests/cli/CLITestSupport.h"
#include "tests/support/RepositoryBuilder.h"
#include "tests/support/TempDir.h"

namespace tvr::cli {
namespace {

using test::Outcome;
using test::runCLI;
namespace fs = std::filesystem;

const fs::path kSample = fs::path(TVR_FIXTURES_DIR) / "sample-repository";
const std::string kSamplePasswordFile = (fs::path(TVR_FIXTURES_DIR) / "sample-repository.password").string();

std::string escaped(const fs::path& path) {
  std::string text = jsonString(nlohmann::json(path.string()));
  return text.substr(1, text.size() - 2);
}

std::vector<std::string> sampleArgs(const std::string& command, const std::string& run,
                                    std::vector<std::string> extra) {
  std::vector<std::string> args = {command, kSample.string(),           "--plan",           "family-archive", "--run",
                                   run,     "--recovery-password-file", kSamplePasswordFile};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

TEST(BrowseCommands, ListsTheSampleRepository) {
  const std::string repo = escaped(kSample);
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {"run 1 top level", sampleArgs("list", "1", {}),
       "directory\tletters\ndirectory\tphotos\nfile\tempty\nfile\told.txt\n"},
      {"run 2 top level", sampleArgs("list", "2", {}),
       "directory\tletters\ndirectory\tphotos\ndirectory\tvideo\nfile\tempty\n"},
      {"implied directory", sampleArgs("list", "1", {"--path", "photos"}), "directory\tphotos/2025\n"},
      {"run 2 top level, JSON without a path member", sampleArgs("list", "2", {"--json"}),
       R"({"command":"list","entries":[{"id":"d:letters","kind":"directory","modifiedAt":"2026-03-01T10:00:00Z",)"
       R"("name":"letters","relPath":"letters","relPathNorm":"letters"},{"id":"d:photos","kind":"directory",)"
       R"("modifiedAt":"2026-03-02T10:00:00Z","name":"photos","relPath":"photos","relPathNorm":"photos"},)"
       R"({"id":"d:video","kind":"directory","modifiedAt":"2026-03-05T10:00:00Z","name":"video","relPath":"video",)"
       R"("relPathNorm":"video"},{"id":"f:empty","kind":"file","modifiedAt":"2026-03-04T10:00:00Z","name":"empty",)"
       R"("relPath":"empty","relPathNorm":"empty","sizeBytes":0}],"planID":"family-archive","repository":")" +
           repo +
           R"(","runID":2,"schemaVersion":1})"
           "\n"},
      {"display path differs from the normalised one", sampleArgs("list", "1", {"--path", "photos/2025", "--json"}),
       R"({"command":"list","entries":[{"createdAt":"2026-03-02T09:00:00Z","id":"f:photos\/2025\/st)"
       "\u00e9"
       R"(phane.jpg",)"
       R"("kind":"file","modifiedAt":"2026-03-02T10:00:00Z","name":"Ste)"
       "\u0301"
       R"(phane.jpg",)"
       R"("relPath":"photos\/2025\/Ste)"
       "\u0301"
       R"(phane.jpg","relPathNorm":"photos\/2025\/st)"
       "\u00e9"
       R"(phane.jpg",)"
       R"("sizeBytes":18}],"path":"photos\/2025","planID":"family-archive","repository":")" +
           repo +
           R"(","runID":1,"schemaVersion":1})"
           "\n"},
      {"search across directories", sampleArgs("search", "2", {"--name", "e"}),
       "896\tempty\n790\tphotos/2025/Ste\u0301phane.jpg\n"},
      {"search for a decomposed, upper-case query", sampleArgs("search", "1", {"--name", "STE\u0301PHANE", "--json"}),
       R"({"command":"search","limit":25,"matchMode":"fuzzy","query":"STE)"
       "\u0301"
       R"(PHANE","repository":")" +
           repo +
           R"(","results":[{"createdAt":"2026-03-02T09:00:00Z","kind":"file","matchType":"exact",)"
           R"("modifiedAt":"2026-03-02T10:00:00Z","name":"Ste)"
           "\u0301"
           R"(phane.jpg","relPath":"photos\/2025\/Ste)"
           "\u0301"
           R"(phane.jpg",)"
           R"("relPathNorm":"photos\/2025\/st)"
           "\u00e9"
           R"(phane.jpg","score":1000,"sizeBytes":18}],"schemaVersion":1})"
           "\n"},
      {"a deleted file is not found in the later run", sampleArgs("search", "2", {"--name", "old", "--exact"}), ""},
      {"it is in the earlier run", sampleArgs("search", "1", {"--name", "old", "--exact"}), "1000\told.txt\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome outcome = runCLI(c.args);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.out, c.out);
  }
}

class BuiltRepositorySearch : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    temp_ = new test::TempDir();
    test::RepositorySpec spec;
    std::vector<test::TestFile> files = {
        {"dir2/report.txt", "a"}, {"dir10/report.txt", "b"}, {"z/report.txt", "c"},
        {"report.txt", "d"},      {"report-final.txt", "e"}, {"report/notes.txt", "f"},
    };
    std::vector<test::TestFile> many;
    for (int i = 0; i < 30; ++i) many.push_back({"many/many" + std::to_string(i) + ".txt", std::to_string(i)});
    spec.plans.push_back({"docs",
                          "Docs",
                          {test::TestRun{.files = files, .directories = {{"dir2"}, {"dir10"}, {"z"}, {"report"}}},
                           test::TestRun{.files = many, .directories = {{"many"}}},
                           test::TestRun{.files = files, .status = RunStatus::failed}}});
    repository_ = new test::BuiltRepository(test::buildRepository(temp_->path() / "repo", spec));
  }
  static void TearDownTestSuite() {
    delete repository_;
    delete temp_;
  }

  static std::vector<std::string> args(const std::string& command, std::int64_t runIndex,
                                       std::vector<std::string> extra, bool password = true) {
    std::vector<std::string> result = {command,  repository_->root.string(),
                                       "--plan", "docs",
                                       "--run",  std::to_string(repository_->runIDs.at("docs").at(runIndex))};
    if (password) result.insert(result.end(), {"--recovery-password-env", "TVR_PASSWORD"});
    result.insert(result.end(), extra.begin(), extra.end());
    return result;
  }
  static Outcome run(const std::vector<std::string>& arguments) {
    return runCLI(arguments, {{"TVR_PASSWORD", test::kTestRecoveryPassword}});
  }

  static test::TempDir* temp_;
  static test::BuiltRepository* repository_;
};

test::TempDir* BuiltRepositorySearch::temp_ = nullptr;
test::BuiltRepository* BuiltRepositorySearch::repository_ = nullptr;

TEST_F(BuiltRepositorySearch, RanksByScoreThenByDigitAwarePathAndLeavesDirectoriesOut) {
  const std::string equalScores =
      "1000\tdir2/report.txt\n1000\tdir10/report.txt\n1000\treport.txt\n1000\tz/report.txt\n";
  struct Case {
    const char* name;
    std::vector<std::string> extra;
    std::string out;
  } cases[] = {
      {"fuzzy", {"--name", "report"}, equalScores + "892\treport-final.txt\n"},
      {"exact", {"--name", "report", "--exact"}, equalScores},
      {"limit", {"--name", "report", "--limit", "2"}, "1000\tdir2/report.txt\n1000\tdir10/report.txt\n"},
      {"contains", {"--name", "final", "--contains"}, "791\treport-final.txt\n"},
      {"prefix refuses a substring", {"--name", "final", "--prefix"}, ""},
      {"typo", {"--name", "reprot-final"}, "487\treport-final.txt\n"},
      {"punctuation only", {"--name", "-.-"}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome outcome = run(args("search", 0, c.extra));
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.out, c.out);
  }

  Outcome json = run(args("search", 0, {"--name", "-.-", "--json"}));
  EXPECT_EQ(json.status, 0);
  nlohmann::json empty = nlohmann::json::parse(json.out);
  EXPECT_EQ(empty["results"], nlohmann::json::array());
  EXPECT_EQ(empty["query"], "-.-");

  Outcome first = run(args("search", 0, {"--name", "report", "--limit", "1", "--prefix", "--json"}));
  nlohmann::json response = nlohmann::json::parse(first.out);
  EXPECT_EQ(response["limit"], 1);
  EXPECT_EQ(response["matchMode"], "prefix");
  ASSERT_EQ(response["results"].size(), 1u);
  nlohmann::json result = response["results"][0];
  EXPECT_EQ(result["kind"], "file");
  EXPECT_EQ(result["matchType"], "exact");
  EXPECT_EQ(result["relPathNorm"], "dir2/report.txt");
  EXPECT_EQ(result["sizeBytes"], 1);
  EXPECT_EQ(result["modifiedAt"], "2026-03-01T10:00:00Z");
  EXPECT_FALSE(result.contains("createdAt"));
  EXPECT_FALSE(result.contains("id"));
}

TEST_F(BuiltRepositorySearch, DefaultLimitIs25) {
  Outcome outcome = run(args("search", 1, {"--name", "many", "--json"}));
  EXPECT_EQ(outcome.status, 0);
  nlohmann::json response = nlohmann::json::parse(outcome.out);
  EXPECT_EQ(response["limit"], 25);
  EXPECT_EQ(response["results"].size(), 25u);
  // Equal prefix scores of one-digit names come first, in numeric order.
  EXPECT_EQ(response["results"][0]["name"], "many0.txt");
  EXPECT_EQ(response["results"][9]["name"], "many9.txt");
  EXPECT_EQ(response["results"][10]["name"], "many10.txt");
}

TEST_F(BuiltRepositorySearch, QueryChecksRunAfterThePasswordIsResolved) {
  struct Case {
    const char* name;
    std::vector<std::string> extra;
    std::string code;
    std::string message;
    std::map<std::string, std::string> details;
  } cases[] = {
      {"blank name", {"--name", " \t\n"}, "empty_search_query", "--name must not be empty", {}},
      {"control character",
       {"--name", "re\x01port"},
       "control_character_in_input",
       "--name must not contain control characters",
       {{"option", "--name"}}},
      {"limit 0",
       {"--name", "report", "--limit", "0"},
       "invalid_limit",
       "--limit must be greater than 0",
       {{"option", "--limit"}}},
      {"negative limit",
       {"--name", "report", "--limit", "-4"},
       "invalid_limit",
       "--limit must be greater than 0",
       {{"option", "--limit"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> extra = c.extra;
    extra.push_back("--json");
    Outcome withPassword = run(args("search", 0, extra));
    EXPECT_EQ(withPassword.status, 2);
    EXPECT_EQ(withPassword.out, "");
    nlohmann::json envelope = nlohmann::json::parse(withPassword.err);
    EXPECT_EQ(envelope["code"], c.code);
    EXPECT_EQ(envelope["category"], "validation");
    EXPECT_EQ(envelope["message"], c.message);
    nlohmann::json details = nlohmann::json::object();
    for (const auto& [key, value] : c.details) details[key] = value;
    EXPECT_EQ(envelope["details"], details);

    Outcome withoutPassword = run(args("search", 0, extra, false));
    EXPECT_EQ(withoutPassword.status, 6);
    EXPECT_EQ(nlohmann::json::parse(withoutPassword.err)["code"], "recovery_material_required");
  }
}

TEST_F(BuiltRepositorySearch, ListArgumentAndReaderErrors) {
  Outcome emptyPath = run(args("list", 0, {"--path", ""}));
  EXPECT_EQ(emptyPath.status, 2);
  EXPECT_EQ(emptyPath.err, "--path must not be empty\n");

  Outcome unsafe = run(args("list", 0, {"--path", "dir2/../z"}));
  EXPECT_EQ(unsafe.status, 2);
  EXPECT_EQ(unsafe.err, "--path must not contain . or .. path components\n");

  Outcome listed = run(args("list", 0, {"--path", "report"}));
  EXPECT_EQ(listed.status, 0);
  EXPECT_EQ(listed.out, "file\treport/notes.txt\n");

  // A run that did not complete is refused by the catalog, with its own message.
  const std::int64_t failed = repository_->runIDs.at("docs").at(2);
  for (const std::string command : {"list", "search"}) {
    SCOPED_TRACE(command);
    std::vector<std::string> arguments = args(command, 2, {});
    if (command == "search") arguments.insert(arguments.end(), {"--name", "report"});
    Outcome outcome = run(arguments);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "Run " + std::to_string(failed) + " is failed and cannot be used for restore.\n");
  }
}

}  // namespace
}  // namespace tvr::cli
