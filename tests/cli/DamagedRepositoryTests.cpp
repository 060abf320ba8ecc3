// Black-box tests of the `tvr` executable on real repositories damaged one way each: the
// exit status, the messages, what was written, and that the repository is left byte for
// byte as it was.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/cli/CLITestSupport.h"
#include "tests/support/RawDatabase.h"
#include "tests/support/RepositoryBuilder.h"
#include "tests/support/TempDir.h"

namespace tvr::cli {
namespace {

namespace fs = std::filesystem;
using test::buildRepository;
using test::BuiltRepository;
using test::execSQL;
using test::readText;
using test::RepositorySpec;
using test::TempDir;
using test::TestRun;
using test::writeText;

struct ProcessResult {
  std::string out;
  std::string err;
  int status = -1;
};

std::string quoted(const std::string& word) {
  std::string text = "'";
  for (char c : word) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return text + "'";
}

// Runs `tvr` with the arguments; `timeout` turns a hang (a FIFO read) into status 124.
ProcessResult runTvr(const std::vector<std::string>& arguments) {
  TempDir streams;
  std::string command = "env -i timeout 60 " + quoted(TVR_CLI_BINARY);
  for (const std::string& argument : arguments) command += " " + quoted(argument);
  command += " >" + quoted((streams / "out").string()) + " 2>" + quoted((streams / "err").string());
  int raw = std::system(command.c_str());
  ProcessResult result;
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  result.out = readText(streams / "out");
  result.err = readText(streams / "err");
  return result;
}

// Every item below `root`: its kind and bytes (a link's target, a FIFO's kind only).
std::map<std::string, std::string> treeOf(const fs::path& root) {
  std::map<std::string, std::string> tree;
  if (!fs::exists(fs::symlink_status(root))) return tree;
  for (const fs::directory_entry& item : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(item.path(), root).string();
    const fs::file_status status = item.symlink_status();
    if (fs::is_symlink(status)) {
      tree[name] = "link:" + fs::read_symlink(item.path()).string();
    } else if (fs::is_regular_file(status)) {
      tree[name] = "file:" + readText(item.path());
    } else if (fs::is_directory(status)) {
      tree[name] = "directory";
    } else {
      tree[name] = "other";
    }
  }
  return tree;
}

// A repository of one plan "docs" with one run of four files in two folders.
class DamagedRepositoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RepositorySpec spec;
    spec.plans.push_back({PlanID("docs"),
                          "Docs",
                          {TestRun{.files = {{"a.txt", "alpha contents"},
                                             {"b.txt", "bravo contents"},
                                             {"dir/c.txt", "charlie contents"},
                                             {"dir/d.txt", "delta contents"}},
                                   .directories = {{"dir"}}}}});
    repo_.emplace(buildRepository(temp_ / "repo", spec));
    password_ = temp_ / "password.txt";
    writeText(password_, repo_->recoveryPassword);
  }

  fs::path root() const { return repo_->root; }
  std::string key(const std::string& contents) const { return repo_->blobKeysByContents.at(contents); }
  fs::path blob(const std::string& contents) const { return repo_->blobPath(key(contents)); }
  fs::path destination(const std::string& name) const { return temp_ / "out" / name; }

  // Runs a command that takes the plan, run 1 and the password, after the given words.
  ProcessResult run(const std::string& command, std::vector<std::string> extra = {}) const {
    std::vector<std::string> arguments = {command, root().string(), "--plan", "docs", "--run", "1"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    arguments.insert(arguments.end(), {"--recovery-password-file", password_.string()});
    return runTvr(arguments);
  }

  TempDir temp_;
  std::optional<BuiltRepository> repo_;
  fs::path password_;
};

TEST_F(DamagedRepositoryTest, DamagedBlobsFailTheirFileAndExportSalvagesTheRest) {
  struct Case {
    const char* name;
    std::function<void()> damage;
    std::vector<std::string> damaged;  // the files whose content cannot be produced
    std::function<std::string(const std::string&)> reason;
    bool verifyFinds = true;  // blob issues; a wrong size in the catalog is no blob issue
  };
  const fs::path outside = temp_ / "outside";
  fs::create_directories(outside);
  const Case cases[] = {
      {"two blobs swapped",
       [&] {
         fs::rename(blob("alpha contents"), outside / "a");
         fs::rename(blob("bravo contents"), blob("alpha contents"));
         fs::rename(outside / "a", blob("bravo contents"));
       },
       {"a.txt", "b.txt"},
       [&](const std::string& contents) { return "the content of blob " + key(contents) + " does not match its key"; }},
      {"a flipped byte",
       [&] {
         std::fstream file(blob("charlie contents"), std::ios::in | std::ios::out | std::ios::binary);
         file.seekg(-3, std::ios::end);
         char c = 0;
         file.get(c);
         file.seekp(-3, std::ios::end);
         file.put(static_cast<char>(c ^ 0x01));
       },
       {"dir/c.txt"},
       [](const std::string&) { return std::string("AES-GCM authentication failed."); }},
      {"a deleted blob",
       [&] { fs::remove(blob("delta contents")); },
       {"dir/d.txt"},
       [&](const std::string& contents) { return "blob " + key(contents) + " is missing"; }},
      {"a blob in the wrong shard folder",
       [&] {
         fs::create_directories(root() / "blobs" / "zz");
         fs::rename(blob("alpha contents"), root() / "blobs" / "zz" / key("alpha contents"));
       },
       {"a.txt"},
       [&](const std::string& contents) { return "blob " + key(contents) + " is missing"; }},
      {"a blob that is a link out of the repository",
       [&] {
         fs::rename(blob("alpha contents"), outside / key("alpha contents"));
         fs::create_symlink(outside / key("alpha contents"), blob("alpha contents"));
       },
       {"a.txt"},
       [&](const std::string& contents) { return "blob " + key(contents) + " is not a regular file"; }},
      {"a blob that is a FIFO",
       [&] {
         fs::remove(blob("bravo contents"));
         ASSERT_EQ(::mkfifo(blob("bravo contents").c_str(), 0600), 0);
       },
       {"b.txt"},
       [&](const std::string& contents) { return "blob " + key(contents) + " is not a regular file"; }},
      {"a size in the catalog that differs from the content",
       [&] {
         execSQL(root() / "catalog.sqlite",
                 "UPDATE file_events SET size_bytes = 3 WHERE blob_key = '" + key("charlie contents") + "';");
       },
       {"dir/c.txt"},
       [&](const std::string& contents) {
         return "blob " + key(contents) + " holds 16 bytes but the catalog records 3";
       },
       false},
  };
  const std::map<std::string, std::string> contentsByPath = {{"a.txt", "alpha contents"},
                                                             {"b.txt", "bravo contents"},
                                                             {"dir/c.txt", "charlie contents"},
                                                             {"dir/d.txt", "delta contents"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A fresh copy of the repository for each kind of damage.
    TempDir scratch;
    fs::copy(root(), scratch / "pristine", fs::copy_options::recursive);
    c.damage();
    const std::map<std::string, std::string> before = treeOf(root());

    // restore: the damaged file fails by name and leaves nothing behind.
    const std::string first = c.damaged.front();
    ProcessResult restore = run("restore", {"--path", first, "--to", destination("restored").string()});
    EXPECT_EQ(restore.status, 5);
    EXPECT_EQ(restore.out, "");
    EXPECT_EQ(restore.err, "Could not restore " + first + ": " + c.reason(contentsByPath.at(first)) + "\n");
    EXPECT_TRUE(treeOf(temp_ / "out").empty());

    // export: everything else is written and the damaged files are named.
    const fs::path exported = temp_ / "export";
    ProcessResult exportResult = run("export", {"--to", exported.string()});
    EXPECT_EQ(exportResult.status, 5);
    EXPECT_EQ(exportResult.out, "");
    std::string expectedErr;
    for (const std::string& path : c.damaged) {
      expectedErr += "Could not restore " + path + ": " + c.reason(contentsByPath.at(path)) + "\n";
    }
    expectedErr +=
        "Export of run 1 is incomplete: " + std::to_string(c.damaged.size()) + " files could not be restored\n";
    EXPECT_EQ(exportResult.err, expectedErr);
    std::map<std::string, std::string> expectedTree = {{"dir", "directory"}};
    for (const auto& [path, contents] : contentsByPath) {
      if (std::find(c.damaged.begin(), c.damaged.end(), path) == c.damaged.end()) {
        expectedTree[path] = "file:" + contents;
      }
    }
    EXPECT_EQ(treeOf(exported), expectedTree);

    // verify: the damaged blobs are issues.
    ProcessResult verify = runTvr({"verify", root().string(), "--recovery-password-file", password_.string()});
    EXPECT_EQ(verify.status, c.verifyFinds ? 5 : 0);
    EXPECT_EQ(verify.err, c.verifyFinds ? "Repository integrity check failed\n" : "");

    EXPECT_EQ(treeOf(root()), before);
    // Back to the undamaged repository for the next case.
    fs::remove_all(root());
    fs::rename(scratch / "pristine", root());
    fs::remove_all(exported);
    fs::remove_all(temp_ / "out");
    for (const fs::directory_entry& item : fs::directory_iterator(outside)) fs::remove(item.path());
  }
}

TEST_F(DamagedRepositoryTest, VerifyCallsABlobOutsideItsShardMissing) {
  const std::string k = key("alpha contents");
  fs::create_directories(root() / "blobs" / "zz");
  fs::rename(blob("alpha contents"), root() / "blobs" / "zz" / k);
  ProcessResult verify = runTvr({"verify", root().string(), "--recovery-password-file", password_.string(), "--json"});
  EXPECT_EQ(verify.status, 5);
  const nlohmann::json report = nlohmann::json::parse(verify.out);
  ASSERT_EQ(report["issues"].size(), 1u);
  EXPECT_EQ(report["issues"][0]["kind"], "missingBlob");
  EXPECT_EQ(report["issues"][0]["blobKey"], k);
  EXPECT_EQ(report["issues"][0]["path"], (root() / "blobs" / k.substr(0, 2) / k).string());
}

TEST_F(DamagedRepositoryTest, ADamagedCatalogPageEndsEveryCommandWithAnError) {
  const fs::path catalog = root() / "catalog.sqlite";
  long pageSize = 0, rootPage = 0;
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(catalog.c_str(), &db), SQLITE_OK);
    auto value = [&](const char* sql) {
      sqlite3_stmt* statement = nullptr;
      sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
      long result = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : 0;
      sqlite3_finalize(statement);
      return result;
    };
    pageSize = value("PRAGMA page_size;");
    rootPage = value("SELECT rootpage FROM sqlite_master WHERE name = 'file_events';");
    sqlite3_close(db);
  }
  ASSERT_GT(rootPage, 1);
  {
    std::fstream file(catalog, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp((rootPage - 1) * pageSize);
    file.write("\xff\xff\xff\xff\xff\xff\xff\xff", 8);
  }
  const std::map<std::string, std::string> before = treeOf(root());

  ProcessResult list = run("list");
  EXPECT_EQ(list.status, 1);
  EXPECT_EQ(list.out, "");
  EXPECT_EQ(list.err, "Failed to read snapshot of run 1: database disk image is malformed\n");

  ProcessResult exportResult = run("export", {"--to", (temp_ / "export").string()});
  EXPECT_EQ(exportResult.status, 1);
  EXPECT_EQ(exportResult.out, "");
  EXPECT_EQ(exportResult.err, "Failed to read snapshot of run 1: database disk image is malformed\n");
  EXPECT_TRUE(treeOf(temp_ / "export").empty());

  ProcessResult restore = run("restore", {"--path", "a.txt", "--to", destination("a.txt").string()});
  EXPECT_EQ(restore.status, 1);
  EXPECT_EQ(restore.err, "Failed to read snapshot entry of a.txt: database disk image is malformed\n");

  ProcessResult verify = runTvr({"verify", root().string(), "--recovery-password-file", password_.string(), "--json"});
  EXPECT_EQ(verify.status, 5);
  EXPECT_EQ(verify.out, "");
  const nlohmann::json envelope = nlohmann::json::parse(verify.err);
  EXPECT_EQ(envelope["code"], "catalog_damaged");
  EXPECT_EQ(envelope["category"], "repository_integrity");
  EXPECT_EQ(envelope["exitCode"], 5);
  EXPECT_TRUE(envelope["message"].get<std::string>().starts_with("Repository catalog is damaged: "))
      << envelope["message"];
  EXPECT_EQ(envelope["remediation"],
            "Copy or hydrate the repository again from another source; runs the damage does not reach may still "
            "restore.");

  EXPECT_EQ(treeOf(root()), before);
}

TEST_F(DamagedRepositoryTest, AHotJournalIsReadInItsCommittedStateAndLeftAlone) {
  // A copy taken while a backup held a transaction open: its catalog already holds
  // uncommitted pages, and the journal beside it holds the committed ones.
  const fs::path copy = temp_ / "copy";
  fs::copy(root(), copy, fs::copy_options::recursive);
  const ProcessResult committed = runTvr({"list-runs", copy.string(), "--plan", "docs", "--json"});
  ASSERT_EQ(committed.status, 0) << committed.err;
  const ProcessResult committedList = runTvr({"list", copy.string(), "--plan", "docs", "--run", "1", "--path", "dir",
                                              "--recovery-password-file", password_.string()});
  ASSERT_EQ(committedList.status, 0) << committedList.err;
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((root() / "catalog.sqlite").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "PRAGMA cache_size=2; BEGIN IMMEDIATE; UPDATE runs SET status = 'failed';"
                           "DELETE FROM file_events WHERE run_id = 1; CREATE TABLE filler(x);"
                           "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300)"
                           "  INSERT INTO filler SELECT randomblob(4000) FROM n;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(db);
    fs::copy_file(root() / "catalog.sqlite", copy / "catalog.sqlite", fs::copy_options::overwrite_existing);
    fs::copy_file(root() / "catalog.sqlite-journal", copy / "catalog.sqlite-journal");
    sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  // Without its journal the copy shows the uncommitted state: the journal matters.
  {
    TempDir alone;
    fs::copy_file(copy / "catalog.sqlite", alone / "catalog.sqlite");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((alone / "catalog.sqlite").c_str(), &db), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, "SELECT status FROM runs;", -1, &statement, nullptr);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0))), "failed");
    sqlite3_finalize(statement);
    sqlite3_close(db);
  }

  const std::map<std::string, std::string> before = treeOf(copy);
  ASSERT_EQ(before.count("catalog.sqlite-journal"), 1u);
  const ProcessResult runs = runTvr({"list-runs", copy.string(), "--plan", "docs", "--json"});
  EXPECT_EQ(runs.status, 0) << runs.err;
  EXPECT_EQ(runs.out, committed.out);
  const ProcessResult list = runTvr({"list", copy.string(), "--plan", "docs", "--run", "1", "--path", "dir",
                                     "--recovery-password-file", password_.string()});
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.out, committedList.out);
  const ProcessResult verify = runTvr({"verify", copy.string(), "--recovery-password-file", password_.string()});
  EXPECT_EQ(verify.status, 0) << verify.err;
  EXPECT_EQ(treeOf(copy), before);
}

TEST_F(DamagedRepositoryTest, HostileDocumentsAreRefusedWithoutHanging) {
  const std::string repoJSON = readText(root() / "repo.json");
  struct Case {
    const char* name;
    std::function<void()> damage;
    std::vector<std::string> arguments;
    std::string err;
  } cases[] = {
      {"repo.json is a FIFO",
       [&] {
         fs::remove(root() / "repo.json");
         ::mkfifo((root() / "repo.json").c_str(), 0600);
       },
       {"info", root().string()},
       "The file at " + (root() / "repo.json").string() + " is not a regular file.\n"},
      {"plans.json is a FIFO",
       [&] {
         fs::remove(root() / "plans.json");
         ::mkfifo((root() / "plans.json").c_str(), 0600);
       },
       {"list-plans", root().string()},
       "The file at " + (root() / "plans.json").string() + " is not a regular file.\n"},
      {"the catalog is a FIFO",
       [&] {
         fs::remove(root() / "catalog.sqlite");
         ::mkfifo((root() / "catalog.sqlite").c_str(), 0600);
       },
       {"list-runs", root().string(), "--plan", "docs"},
       "Repository catalog is not a regular file.\n"},
      {"repo.json above 16 MiB",
       [&] { writeText(root() / "repo.json", repoJSON + std::string(16 << 20, ' ')); },
       {"info", root().string()},
       "The file at " + (root() / "repo.json").string() + " is larger than 16777216 bytes.\n"},
      {"an absurd KDF iteration count",
       [&] {
         nlohmann::json document = nlohmann::json::parse(repoJSON);
         document["encryption"]["recoveryWrappedKey"]["iterations"] = 1000000000000LL;
         writeText(root() / "repo.json", document.dump());
       },
       {"list", root().string(), "--plan", "docs", "--run", "1", "--recovery-password-file", password_.string()},
       "Repository recovery key iteration count 1000000000000 is above the supported maximum of 100000000.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir scratch;
    fs::copy(root(), scratch / "pristine", fs::copy_options::recursive);
    c.damage();
    const std::map<std::string, std::string> before = treeOf(root());
    ProcessResult result = runTvr(c.arguments);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(treeOf(root()), before);
    fs::remove_all(root());
    fs::rename(scratch / "pristine", root());
  }
}

TEST_F(DamagedRepositoryTest, DatesNoTextCanShowAreLeftOut) {
  execSQL(root() / "catalog.sqlite",
          "UPDATE runs SET started_at = 1e300, finished_at = -1e300; UPDATE file_events SET modified_at = 1e300, "
          "created_at = -1e300;");
  const std::map<std::string, std::string> before = treeOf(root());
  ProcessResult runs = runTvr({"list-runs", root().string(), "--plan", "docs", "--json"});
  EXPECT_EQ(runs.status, 0) << runs.err;
  const nlohmann::json first = nlohmann::json::parse(runs.out)["runs"][0];
  EXPECT_FALSE(first.contains("startedAt")) << first;
  EXPECT_FALSE(first.contains("finishedAt")) << first;
  ProcessResult text = runTvr({"list-runs", root().string(), "--plan", "docs"});
  EXPECT_EQ(text.out, "1\t\t\n");

  ProcessResult list = run("list", {"--json"});
  EXPECT_EQ(list.status, 0) << list.err;
  // Held by name: a range over a member of a temporary document would read freed memory.
  const nlohmann::json listed = nlohmann::json::parse(list.out);
  ASSERT_FALSE(listed.at("entries").empty()) << list.out;
  for (const nlohmann::json& entry : listed.at("entries")) {
    EXPECT_FALSE(entry.contains("modifiedAt")) << entry;
    EXPECT_FALSE(entry.contains("createdAt")) << entry;
  }
  EXPECT_EQ(treeOf(root()), before);
}

}  // namespace
}  // namespace tvr::cli
