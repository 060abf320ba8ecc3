// verify, restore and export through BackupCLI::run: the sample repository's report, files
// and tree written exactly, damaged copies of it, and the destination refusals.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "BackupCLI/BackupCLI.h"
#include "tests/cli/CLITestSupport.h"
#include "tests/support/RepositoryBuilder.h"
#include "tests/support/TempDir.h"

namespace tvr::cli {
namespace {

using test::Outcome;
using test::readText;
using test::runCLI;
namespace fs = std::filesystem;

const fs::path kSample = fs::path(TVR_FIXTURES_DIR) / "sample-repository";
const std::string kSamplePasswordFile = (fs::path(TVR_FIXTURES_DIR) / "sample-repository.password").string();

std::string escaped(const fs::path& path) {
  std::string text = jsonString(nlohmann::json(path.string()));
  return text.substr(1, text.size() - 2);
}

fs::path copySample(const fs::path& into) {
  fs::path copy = into / "repository";
  fs::copy(kSample, copy, fs::copy_options::recursive);
  fs::permissions(copy, fs::perms::owner_write, fs::perm_options::add);
  for (const auto& item : fs::recursive_directory_iterator(copy)) {
    fs::permissions(item.path(), fs::perms::owner_write, fs::perm_options::add);
  }
  return copy;
}

std::vector<std::string> withPassword(std::vector<std::string> args) {
  args.insert(args.end(), {"--recovery-password-file", kSamplePasswordFile});
  return args;
}

std::vector<std::string> restoreArgs(const std::string& run, const std::string& path, const fs::path& to,
                                     std::vector<std::string> extra = {}) {
  std::vector<std::string> args = withPassword(
      {"restore", kSample.string(), "--plan", "family-archive", "--run", run, "--path", path, "--to", to.string()});
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

std::vector<std::string> exportArgs(const std::string& run, const fs::path& to, std::vector<std::string> extra = {}) {
  std::vector<std::string> args =
      withPassword({"export", kSample.string(), "--plan", "family-archive", "--run", run, "--to", to.string()});
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

std::string clipBytes() {
  std::string bytes(1048577, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((7 * i + (i >> 12)) % 251);
  return bytes;
}

std::int64_t modificationTime(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
  return status.st_mtime;
}

// 2026-03-0<day>T10:00:00Z.
std::int64_t march(int day) { return 1772359200 + (day - 1) * 86400; }

TEST(VerifyCommand, HealthySampleRepository) {
  Outcome text = runCLI(withPassword({"verify", kSample.string()}));
  EXPECT_EQ(text.status, 0);
  EXPECT_EQ(text.err, "");
  EXPECT_EQ(text.out, "Referenced blobs: 6\nStored blobs: 6\nIssues: 0\n");

  Outcome json = runCLI(withPassword({"verify", kSample.string(), "--json"}));
  EXPECT_EQ(json.status, 0);
  EXPECT_EQ(json.out, R"({"command":"verify","healthy":true,"issueCount":0,"issues":[],"referencedBlobCount":6,)"
                      R"("repository":")" +
                          escaped(kSample) +
                          R"(","schemaVersion":1,"storedBlobCount":6})"
                          "\n");
}

TEST(VerifyCommand, MissingAndOrphanBlobsAreReportedBeforeExit5) {
  test::TempDir temp;
  fs::path repository = copySample(temp.path());
  std::vector<fs::path> blobs;
  for (const auto& item : fs::recursive_directory_iterator(repository / "blobs")) {
    if (item.is_regular_file()) blobs.push_back(item.path());
  }
  std::sort(blobs.begin(), blobs.end());
  ASSERT_EQ(blobs.size(), 6u);
  const std::string missingKey = blobs.front().filename().string();
  fs::remove(blobs.front());
  const std::string orphanKey(64, 'f');
  fs::create_directories(repository / "blobs" / "ff");
  std::ofstream(repository / "blobs" / "ff" / orphanKey) << "left over";

  Outcome text = runCLI(withPassword({"verify", repository.string()}));
  EXPECT_EQ(text.status, 5);
  EXPECT_EQ(text.out, "Referenced blobs: 6\nStored blobs: 6\nIssues: 2\nmissingBlob " + missingKey + "\norphanBlob " +
                          orphanKey + "\n");
  EXPECT_EQ(text.err, "Repository integrity check failed\n");

  Outcome json = runCLI(withPassword({"verify", repository.string(), "--json"}));
  EXPECT_EQ(json.status, 5);
  nlohmann::json report = nlohmann::json::parse(json.out);
  EXPECT_EQ(report["healthy"], false);
  EXPECT_EQ(report["issueCount"], 2);
  EXPECT_EQ(report["issues"][0],
            nlohmann::json({{"kind", "missingBlob"}, {"blobKey", missingKey}, {"path", blobs.front().string()}}));
  EXPECT_EQ(report["issues"][1]["kind"], "orphanBlob");
  // The issues are written one by one; the line is the one document, with or without a
  // writer for pieces of a line (the process has one).
  const std::string document =
      R"({"command":"verify","healthy":false,"issueCount":2,"issues":[{"blobKey":")" + missingKey +
      R"(","kind":"missingBlob","path":")" + escaped(blobs.front()) + R"("},{"blobKey":")" + orphanKey +
      R"(","kind":"orphanBlob","path":")" + escaped(repository / "blobs" / "ff" / orphanKey) +
      R"("}],"referencedBlobCount":6,"repository":")" + escaped(repository) +
      R"(","schemaVersion":1,"storedBlobCount":6})"
      "\n";
  EXPECT_EQ(json.out, document);
  Outcome pieces;
  int pieceCalls = 0;
  pieces.status = cli::BackupCLI({}).run(
      withPassword({"verify", repository.string(), "--json"}),
      [&](const std::string& line) { pieces.out += line + "\n"; },
      [&](const std::string& line) { pieces.err += line + "\n"; }, {},
      [&](const std::string& piece) {
        pieces.out += piece;
        ++pieceCalls;
      });
  EXPECT_EQ(pieces.status, 5);
  EXPECT_EQ(pieces.out, document);
  EXPECT_GT(pieceCalls, 1);
  nlohmann::json envelope = nlohmann::json::parse(json.err);
  EXPECT_EQ(envelope["code"], "repository_integrity_failed");
  EXPECT_EQ(envelope["category"], "repository_integrity");
  EXPECT_EQ(envelope["exitCode"], 5);
  EXPECT_EQ(envelope["details"], nlohmann::json({{"issueCount", "2"}}));
  EXPECT_EQ(envelope["remediation"],
            "Inspect the verify output for missing, corrupt, or orphaned blobs before restoring.");

  Outcome quiet = runCLI(withPassword({"--quiet", "verify", repository.string()}));
  EXPECT_EQ(quiet.status, 5);
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(quiet.err, "Repository integrity check failed\n");
}

TEST(RestoreCommand, RestoresSampleFilesWithTheirBytesAndDates) {
  test::TempDir temp;
  struct Case {
    std::string run;
    std::string path;
    std::string contents;
    std::int64_t modified;
  } cases[] = {
      {"2", "video/clip.bin", clipBytes(), march(5)},
      {"1", "letters/to grandma.txt", "Dear grandma,\n", march(1)},
      {"2", "photos/2025/st\u00e9phane.jpg", "not really a jpeg\n", march(2)},
      {"1", "old.txt", "to be deleted\n", march(3)},
      {"2", "empty", "", march(4)},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    fs::path destination = temp.path() / std::to_string(index++) / "nested" / "restored";
    Outcome outcome = runCLI(restoreArgs(c.run, c.path, destination));
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.out, "Restored " + c.path + "\n");
    EXPECT_EQ(readText(destination), c.contents);
    EXPECT_EQ(modificationTime(destination), c.modified);
  }

  // A path unknown to the run: repository_item_not_found as in the dry run, nothing written,
  // and no folder left that the restore made on its way.
  fs::path unknown = temp.path() / "made" / "for" / "unknown";
  Outcome deleted = runCLI(restoreArgs("2", "old.txt", unknown));
  EXPECT_EQ(deleted.status, 4);
  EXPECT_EQ(deleted.out, "");
  EXPECT_EQ(deleted.err, "No file at old.txt in run 2\n");
  EXPECT_FALSE(fs::exists(temp.path() / "made"));
}

TEST(RestoreCommand, ExistingDestinationsNeedOverwriteTrue) {
  test::TempDir temp;
  fs::path file = temp.path() / "existing.txt";
  std::ofstream(file) << "mine";
  fs::path directory = temp.path() / "empty-directory";
  fs::create_directory(directory);

  for (const fs::path& destination : {file, directory}) {
    SCOPED_TRACE(destination.string());
    for (std::vector<std::string> extra : {std::vector<std::string>{}, {"--overwrite", "false"}, {"--dry-run"}}) {
      Outcome outcome = runCLI(restoreArgs("1", "empty", destination, extra));
      EXPECT_EQ(outcome.status, 3);
      EXPECT_EQ(outcome.out, "");
      EXPECT_EQ(outcome.err, "Refusing to overwrite existing destination: " + destination.string() +
                                 ". Pass --overwrite true to replace it.\n");
    }
    Outcome json = runCLI(restoreArgs("1", "empty", destination, {"--dry-run", "--json"}));
    EXPECT_EQ(json.status, 3);
    nlohmann::json envelope = nlohmann::json::parse(json.err);
    EXPECT_EQ(envelope["type"], "confirmation_required");
    EXPECT_EQ(envelope["reason"], "destination_exists");
    EXPECT_EQ(
        envelope["changes"],
        nlohmann::json::array({{{"operation", "restore"}, {"path", destination.string()}, {"risk", "overwrite"}}}));
  }
  EXPECT_EQ(readText(file), "mine");
  EXPECT_TRUE(fs::is_empty(directory));

  Outcome replaced = runCLI(restoreArgs("1", "letters/to grandma.txt", file, {"--overwrite", "true"}));
  EXPECT_EQ(replaced.status, 0);
  EXPECT_EQ(readText(file), "Dear grandma,\n");
  EXPECT_EQ(modificationTime(file), march(1));

  // JSON for a real write never writes, even to a free destination.
  fs::path free = temp.path() / "free";
  Outcome json = runCLI(restoreArgs("1", "empty", free, {"--json"}));
  EXPECT_EQ(json.status, 2);
  EXPECT_EQ(nlohmann::json::parse(json.err)["code"], "unsupported_output_format");
  EXPECT_FALSE(fs::exists(free));
}

TEST(RestoreCommand, DryRunDescribesTheFileAndFindsOnlyExactFilePaths) {
  test::TempDir temp;
  fs::path destination = temp.path() / "clip.bin";

  Outcome text = runCLI(restoreArgs("2", "video/clip.bin", destination, {"--dry-run"}));
  EXPECT_EQ(text.status, 0);
  EXPECT_EQ(text.out, "Dry run: restore video/clip.bin to " + destination.string() + "\n");

  Outcome json = runCLI(restoreArgs("2", "video/clip.bin", destination, {"--dry-run", "--json", "--overwrite", "no"}));
  EXPECT_EQ(json.status, 0);
  EXPECT_EQ(json.out,
            R"({"command":"restore","destination":")" + escaped(destination) +
                R"(","dryRun":true,"file":{"createdAt":"2026-03-05T09:00:00Z","id":"f:video\/clip.bin","kind":"file",)"
                R"("modifiedAt":"2026-03-05T10:00:00Z","name":"clip.bin","relPath":"video\/clip.bin",)"
                R"("relPathNorm":"video\/clip.bin","sizeBytes":1048577},"overwrite":false,"path":"video\/clip.bin",)"
                R"("planID":"family-archive","repository":")" +
                escaped(kSample) +
                R"(","runID":2,"schemaVersion":1})"
                "\n");
  EXPECT_FALSE(fs::exists(destination));

  struct Case {
    const char* name;
    std::string run;
    std::string path;
  } missing[] = {
      {"a directory", "2", "video"},
      {"an implied directory", "1", "photos/2025"},
      {"a file deleted before the run", "2", "old.txt"},
  };
  for (const Case& c : missing) {
    SCOPED_TRACE(c.name);
    Outcome outcome = runCLI(restoreArgs(c.run, c.path, destination, {"--dry-run", "--json"}));
    EXPECT_EQ(outcome.status, 4);
    EXPECT_EQ(outcome.out, "");
    nlohmann::json envelope = nlohmann::json::parse(outcome.err);
    EXPECT_EQ(envelope["code"], "repository_item_not_found");
    EXPECT_EQ(envelope["category"], "repository");
    EXPECT_EQ(envelope["message"], "No file at " + c.path + " in run " + c.run);
    EXPECT_EQ(envelope["details"], nlohmann::json({{"path", c.path}, {"runID", c.run}}));
  }
  EXPECT_FALSE(fs::exists(destination));
}

TEST(ExportCommand, ExportsTheSampleRunAtItsDisplayPaths) {
  test::TempDir temp;
  fs::path destination = temp.path() / "export";
  fs::create_directory(destination);  // an existing empty directory is accepted

  Outcome outcome = runCLI(exportArgs("1", destination));
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(outcome.out, "Exported run 1\n");

  std::map<std::string, std::string> tree;
  for (const auto& item : fs::recursive_directory_iterator(destination)) {
    std::string relative = fs::relative(item.path(), destination).string();
    tree[relative] = item.is_directory() ? "<dir>" : readText(item.path());
  }
  EXPECT_EQ(tree, (std::map<std::string, std::string>{
                      {"empty", ""},
                      {"letters", "<dir>"},
                      {"letters/to grandma.txt", "Dear grandma,\n"},
                      {"old.txt", "to be deleted\n"},
                      {"photos", "<dir>"},
                      {"photos/2025", "<dir>"},
                      {"photos/2025/Ste\u0301phane.jpg", "not really a jpeg\n"},
                  }));
  EXPECT_EQ(modificationTime(destination / "photos/2025/Ste\u0301phane.jpg"), march(2));
  EXPECT_EQ(modificationTime(destination / "empty"), march(4));

  // Now not empty: refused, then merged with --overwrite true.
  Outcome refused = runCLI(exportArgs("2", destination));
  EXPECT_EQ(refused.status, 3);
  EXPECT_EQ(refused.err, "Refusing to export into non-empty destination: " + destination.string() +
                             ". Pass --overwrite true to replace matching files.\n");
  Outcome merged = runCLI(exportArgs("2", destination, {"--overwrite", "true"}));
  EXPECT_EQ(merged.status, 0);
  EXPECT_EQ(merged.out, "Exported run 2\n");
  EXPECT_EQ(readText(destination / "video/clip.bin"), clipBytes());
  EXPECT_EQ(modificationTime(destination / "video/clip.bin"), march(5));
}

TEST(ExportCommand, RefusalsAndDryRuns) {
  test::TempDir temp;
  fs::path hidden = temp.path() / "hidden";
  fs::create_directory(hidden);
  std::ofstream(hidden / ".DS_Store") << "x";
  fs::path file = temp.path() / "file";
  std::ofstream(file) << "x";

  Outcome hiddenOnly = runCLI(exportArgs("1", hidden));
  EXPECT_EQ(hiddenOnly.status, 3);
  EXPECT_EQ(hiddenOnly.err, "Refusing to export into non-empty destination: " + hidden.string() +
                                ". Pass --overwrite true to replace matching files.\n");
  Outcome dryRunOnFile = runCLI(exportArgs("1", file, {"--dry-run", "--json"}));
  EXPECT_EQ(dryRunOnFile.status, 3);
  nlohmann::json envelope = nlohmann::json::parse(dryRunOnFile.err);
  EXPECT_EQ(envelope["reason"], "destination_file_exists");
  EXPECT_EQ(envelope["risk"], "overwrite");
  EXPECT_EQ(fs::directory_entry(hidden / ".DS_Store").file_size(), 1u);

  fs::path destination = temp.path() / "planned";
  Outcome text = runCLI(exportArgs("2", destination, {"--dry-run"}));
  EXPECT_EQ(text.status, 0);
  EXPECT_EQ(text.out, "Dry run: export run 2 to " + destination.string() + "\nFiles: 4\nDirectories: 4\n");
  Outcome json = runCLI(exportArgs("1", hidden, {"--dry-run", "--json", "--overwrite", "true"}));
  EXPECT_EQ(json.status, 0);
  EXPECT_EQ(json.out, R"({"command":"export","destination":")" + escaped(hidden) +
                          R"(","directoryCount":3,"dryRun":true,"entryCount":7,"fileCount":4,"overwrite":true,)"
                          R"("planID":"family-archive","repository":")" +
                          escaped(kSample) +
                          R"(","runID":1,"schemaVersion":1})"
                          "\n");
  EXPECT_FALSE(fs::exists(destination));

  // A run that recorded nothing counts zero of everything.
  test::RepositorySpec spec;
  spec.plans.push_back({"empty-plan", "Empty", {test::TestRun{}}});
  test::BuiltRepository built = test::buildRepository(temp.path() / "built", spec);
  const std::string runID = std::to_string(built.runIDs.at("empty-plan").at(0));
  const Environment environment = {{"TVR_PASSWORD", test::kTestRecoveryPassword}};
  std::vector<std::string> args = {
      "export",    built.root.string(),       "--plan",      "empty-plan", "--run", runID, "--to", destination.string(),
      "--dry-run", "--recovery-password-env", "TVR_PASSWORD"};
  Outcome emptyText = runCLI(args, environment);
  EXPECT_EQ(emptyText.status, 0);
  EXPECT_EQ(emptyText.out,
            "Dry run: export run " + runID + " to " + destination.string() + "\nFiles: 0\nDirectories: 0\n");
  args.push_back("--json");
  nlohmann::json counts = nlohmann::json::parse(runCLI(args, environment).out);
  EXPECT_EQ(counts["fileCount"], 0);
  EXPECT_EQ(counts["directoryCount"], 0);
  EXPECT_EQ(counts["entryCount"], 0);
  EXPECT_FALSE(fs::exists(destination));
}

}  // namespace
}  // namespace tvr::cli
