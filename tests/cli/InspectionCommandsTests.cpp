// info, list-plans and list-runs through BackupCLI::run: the shared sample repository read
// byte for byte, repositories built on disk for the edge cases, and the failures that pick
// exit 4 or pass the engine's own message through.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "BackupCLI/BackupCLI.h"
#include "engine/metadata/RepositoryMetadata.h"
#include "tests/cli/CLITestSupport.h"
#include "tests/support/RawDatabase.h"
#include "tests/support/RepositoryBuilder.h"
#include "tests/support/TempDir.h"

namespace tvr::cli {
namespace {

using test::Outcome;
using test::runCLI;
namespace fs = std::filesystem;
using test::execSQL;

const fs::path kSample = fs::path(TVR_FIXTURES_DIR) / "sample-repository";

// A writable copy of the sample repository (the fixture itself is read-only).
fs::path copySample(const fs::path& into) {
  fs::path copy = into / "repository";
  fs::copy(kSample, copy, fs::copy_options::recursive);
  for (const auto& item : fs::recursive_directory_iterator(copy)) {
    fs::permissions(item.path(), fs::perms::owner_write, fs::perm_options::add);
  }
  fs::permissions(copy, fs::perms::owner_write, fs::perm_options::add);
  return copy;
}

std::string escaped(const fs::path& path) {
  std::string text = jsonString(nlohmann::json(path.string()));
  return text.substr(1, text.size() - 2);
}

TEST(InspectionCommands, SampleRepositoryInTextAndJson) {
  const std::string repo = escaped(kSample);
  struct Case {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"info", kSample.string()},
       "Repository format: 1\nMinimum reader: 1\nCatalog: catalog.sqlite\nBlobs: blobs\nBlob keys: hmac-sha256\n"},
      {{"info", kSample.string(), "--json"},
       R"({"command":"info","encryption":{"blobAlgorithm":"AES-256-GCM","compressionAlgorithm":"LZFSE",)"
       R"("hasRecoveryWrappedKey":true,"keyDerivationAlgorithm":"HKDF-SHA256","version":1},"formatVersion":1,)"
       R"("layout":{"blobKeyAlgorithm":"hmac-sha256","blobsPath":"blobs","catalogPath":"catalog.sqlite",)"
       R"("checkpointStorage":"blobs"},"minimumReaderVersion":1,"repository":")" +
           repo + R"(","schemaVersion":1})" + "\n"},
      {{"list-plans", kSample.string()}, "family-archive\tFamily Archive\n"},
      {{"list-plans", kSample.string(), "--json"},
       R"({"command":"list-plans","plans":[{"createdAt":"2026-04-01T08:00:00Z","name":"Family Archive",)"
       R"("planID":"family-archive","updatedAt":"2026-04-02T08:00:00Z"}],"repository":")" +
           repo + R"(","schemaVersion":1})" + "\n"},
      {{"list-runs", kSample.string(), "--plan", "family-archive"},
       "1\t2026-04-01T08:00:00Z\t2026-04-01T08:01:00Z\n2\t2026-04-02T08:00:00Z\t2026-04-02T08:02:00Z\n"},
      {{"list-runs", kSample.string(), "--plan", "family-archive", "--json"},
       R"({"command":"list-runs","planID":"family-archive","repository":")" + repo +
           R"(","runs":[{"filesCopyCount":5,"filesDeletedCount":0,"filesReplaceCount":0,"filesSkippedCount":0,)"
           R"("filesTotalBytes":1048607,"filesTotalCount":5,"finishedAt":"2026-04-01T08:01:00Z","id":1,)"
           R"("planID":"family-archive","runUUID":"C50D4A4B-B825-5ED3-84B6-7113F2858907",)"
           R"("startedAt":"2026-04-01T08:00:00Z","status":"completed"},{"filesCopyCount":1,"filesDeletedCount":1,)"
           R"("filesReplaceCount":0,"filesSkippedCount":3,"filesTotalBytes":1048593,"filesTotalCount":5,)"
           R"("finishedAt":"2026-04-02T08:02:00Z","id":2,"planID":"family-archive",)"
           R"("runUUID":"85A85A15-09EC-552B-BE75-9E77FF64E74A","startedAt":"2026-04-02T08:00:00Z",)"
           R"("status":"completed"}],"schemaVersion":1})"
           "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + (c.args.back() == "--json" ? " --json" : ""));
    Outcome outcome = runCLI(c.args);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.out, c.out);
  }
}

TEST(InspectionCommands, InfoOnAnUnencryptedRepositoryHasNoEncryptionMember) {
  test::TempDir temp;
  // The writer refuses to create one, so the document is written directly.
  test::writeUnencryptedRepositoryDocument(temp.path());

  Outcome text = runCLI({"info", temp.path().string()});
  EXPECT_EQ(text.status, 0);
  EXPECT_EQ(text.out,
            "Repository format: 1\nMinimum reader: 1\nCatalog: catalog.sqlite\nBlobs: blobs\nBlob keys: sha256\n");

  Outcome json = runCLI({"info", temp.path().string(), "--json"});
  EXPECT_EQ(json.status, 0);
  EXPECT_EQ(json.out, R"({"command":"info","formatVersion":1,"layout":{"blobKeyAlgorithm":"sha256",)"
                      R"("blobsPath":"blobs","catalogPath":"catalog.sqlite","checkpointStorage":"blobs"},)"
                      R"("minimumReaderVersion":1,"repository":")" +
                          escaped(temp.path()) +
                          R"(","schemaVersion":1})"
                          "\n");
}

TEST(InspectionCommands, FoldersThatAreNoRepository) {
  test::TempDir temp;
  const std::string folder = temp.path().string();

  Outcome info = runCLI({"info", folder, "--json"});
  EXPECT_EQ(info.status, 4);
  EXPECT_EQ(info.out, "");
  nlohmann::json envelope = nlohmann::json::parse(info.err);
  EXPECT_EQ(envelope["code"], "repository_metadata_missing");
  EXPECT_EQ(envelope["category"], "repository");
  EXPECT_EQ(envelope["message"], "Repository is missing repo.json");
  EXPECT_EQ(envelope["remediation"],
            "Pass the root of an Tovarine repository or hydrate the repository objects first.");
  EXPECT_EQ(envelope["details"], nlohmann::json({{"repository", folder}}));
  EXPECT_EQ(runCLI({"info", folder}).err, "Repository is missing repo.json\n");

  // The other two go through the engine's read gate: its message, exit 1.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"list-plans", folder}, {"list-runs", folder, "--plan", "p"}}) {
    SCOPED_TRACE(args[0]);
    Outcome outcome = runCLI(args);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "Repository is missing repo.json.\n");
  }

  // A malformed repo.json is the decoder's failure, not a missing repository.
  test::TempDir broken;
  broken.write("repo.json", "{\"formatVersion\": \"one\"}");
  Outcome malformed = runCLI({"info", broken.path().string(), "--json"});
  EXPECT_EQ(malformed.status, 1);
  EXPECT_EQ(nlohmann::json::parse(malformed.err)["code"], "internal_error");
}

TEST(InspectionCommands, ListRunsShowsUnfinishedRunsAndPassesCatalogErrorsThrough) {
  test::TempDir temp;
  fs::path repository = copySample(temp.path());
  execSQL(repository / "catalog.sqlite",
          "UPDATE runs SET finished_at = NULL, files_total_count = NULL, files_total_bytes = NULL WHERE id = 2;");

  Outcome text = runCLI({"list-runs", repository.string(), "--plan", "family-archive"});
  EXPECT_EQ(text.status, 0);
  EXPECT_EQ(text.out, "1\t2026-04-01T08:00:00Z\t2026-04-01T08:01:00Z\n2\t2026-04-02T08:00:00Z\tunfinished\n");

  Outcome json = runCLI({"list-runs", repository.string(), "--plan", "family-archive", "--json"});
  nlohmann::json second = nlohmann::json::parse(json.out)["runs"][1];
  EXPECT_EQ(second["id"], 2);
  EXPECT_FALSE(second.contains("finishedAt"));
  EXPECT_FALSE(second.contains("filesTotalCount"));
  EXPECT_FALSE(second.contains("filesTotalBytes"));
  EXPECT_EQ(second["filesCopyCount"], 1);

  // Colour marks the run ID only.
  Outcome coloured = runCLI({"list-runs", repository.string(), "--plan", "family-archive"}, {{"CLICOLOR_FORCE", "1"}});
  EXPECT_EQ(coloured.out.substr(0, 11), "\x1b[36m1\x1b[0m\t");

  fs::remove(repository / "catalog.sqlite");
  Outcome missing = runCLI({"list-runs", repository.string(), "--plan", "family-archive"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err, "Repository catalog is missing.\n");
}

TEST(InspectionCommands, ListRunsArgumentErrors) {
  struct Case {
    std::vector<std::string> args;
    std::string code;
    std::string message;
  } cases[] = {
      {{"list-runs", kSample.string()}, "missing_required_option", "Missing --plan"},
      {{"list-runs", kSample.string(), "--plan", "bad plan"}, "invalid_plan_id", "--plan contains an invalid plan ID"},
      {{"list-runs", kSample.string(), "--plan", "family-archive", "extra"},
       "unexpected_argument",
       "Unexpected argument: extra"},
      {{"list-runs", kSample.string(), "--plan", "family-archive", "--run", "1"},
       "unknown_option",
       "Unknown option for list-runs: --run"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    std::vector<std::string> args = c.args;
    args.push_back("--json");
    Outcome outcome = runCLI(args);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.out, "");
    nlohmann::json envelope = nlohmann::json::parse(outcome.err);
    EXPECT_EQ(envelope["code"], c.code);
    EXPECT_EQ(envelope["message"], c.message);
  }
}

}  // namespace
}  // namespace tvr::cli
