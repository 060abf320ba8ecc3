// The catalog on damaged or hostile input: a failed read is an error and never the end of
// the rows, a transaction reports the error that ended it, checkpoint manifests refuse
// numbers that do not fit, and a path that changed between folder and file reads the same
// through the history and through a checkpoint.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/catalog/BackupCatalog.h"
#include "platform/Error.h"
#include "platform/Iso8601.h"
#include "tests/support/ErrorAssertions.h"
#include "tests/support/RawDatabase.h"
#include "tests/support/RepositoryBuilder.h"
#include "tests/support/SnapshotPrinting.h"
#include "tests/support/TempDir.h"

namespace tvr {
namespace {

using test::buildRepository;
using test::BuiltRepository;
using test::RawDatabase;
using test::RepositorySpec;
using test::TempDir;
using test::TestDirectory;
using test::TestEvent;
using test::TestFile;
using test::TestRun;
using test::throwsError;

// Overwrites the first bytes of the table's root page, as a damaged sector would.
void damageTablePage(const std::filesystem::path& catalog, const std::string& table) {
  long pageSize = 0, rootPage = 0;
  {
    RawDatabase raw(catalog);
    pageSize = std::stol(raw.value("PRAGMA page_size;"));
    rootPage = std::stol(raw.value("SELECT rootpage FROM sqlite_master WHERE name = '" + table + "';"));
  }
  std::fstream file(catalog, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp((rootPage - 1) * pageSize);
  const std::string garbage(8, '\xff');
  file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
}

TEST(CatalogDamageTest, ADamagedPageFailsEveryReadThatMeetsItAndTheStructuralCheck) {
  TempDir temp;
  RepositorySpec spec;
  spec.plans.push_back({PlanID("p"), "P", {TestRun{.files = {{"a.txt", "alpha"}, {"d/b.txt", "bravo"}}}}});
  BuiltRepository repo = buildRepository(temp.path(), spec);
  const std::int64_t run = repo.runIDs.at("p")[0];
  {
    BackupCatalog catalog = repo.openCatalog();
    EXPECT_EQ(catalog.structuralProblem(), std::nullopt);
  }
  damageTablePage(temp / "catalog.sqlite", "file_events");

  BackupCatalog catalog = repo.openCatalog();
  const std::string malformed = "database disk image is malformed";
  EXPECT_TRUE(throwsError(
      [&] { catalog.listSnapshotChildren(PlanID("p"), run, std::nullopt); },
      {kBackupCatalogErrorDomain, 1, "Failed to read snapshot of run " + std::to_string(run) + ": " + malformed}));
  EXPECT_TRUE(throwsError(
      [&] { catalog.loadSnapshot(PlanID("p"), run); },
      {kBackupCatalogErrorDomain, 1, "Failed to read snapshot of run " + std::to_string(run) + ": " + malformed}));
  EXPECT_TRUE(throwsError([&] { catalog.snapshotFileEntry(PlanID("p"), run, "a.txt"); },
                          {kBackupCatalogErrorDomain, 1, "Failed to read snapshot entry of a.txt: " + malformed}));
  EXPECT_TRUE(throwsError([&] { catalog.referencedBlobKeys(); },
                          {kBackupCatalogErrorDomain, 1, "Failed to read referenced blob keys: " + malformed}));
  EXPECT_TRUE(throwsError(
      [&] { catalog.listRunFileEvents(PlanID("p"), run); },
      {kBackupCatalogErrorDomain, 1, "Failed to read events of run " + std::to_string(run) + ": " + malformed}));
  std::optional<std::string> problem = catalog.structuralProblem();
  ASSERT_TRUE(problem.has_value());
  EXPECT_FALSE(problem->empty());
  // The runs table is intact and still reads.
  EXPECT_EQ(catalog.listRuns(PlanID("p"), false).size(), 1u);
}

TEST(CatalogDamageTest, TheDeletionSweepStopsAtAFailedSelectBeforeItsUpdate) {
  TempDir temp;
  RepositorySpec spec;
  spec.plans.push_back({PlanID("p"), "P", {TestRun{.files = {{"a.txt", "alpha"}}}}});
  BuiltRepository repo = buildRepository(temp.path(), spec);
  damageTablePage(temp / "catalog.sqlite", "files_current");
  BackupCatalog catalog = repo.openCatalog(BackupCatalog::OpenMode::readWrite);
  try {
    catalog.sweepDeletionsAndRecordEvents(PlanID("p"), 99);
    ADD_FAILURE() << "swept a damaged table";
  } catch (const Error& error) {
    EXPECT_EQ(error.domain(), kBackupCatalogErrorDomain);
    EXPECT_TRUE(error.message().starts_with("Failed to read files for the deletion sweep: ")) << error.message();
  }
}

TEST(CatalogDamageTest, WithTransactionReportsTheBodysErrorWhenSQLiteAlreadyRolledBack) {
  TempDir temp;
  RepositorySpec spec;
  spec.plans.push_back({PlanID("p"), "P", {TestRun{.files = {{"a.txt", "alpha"}}}}});
  BuiltRepository repo = buildRepository(temp.path(), spec);
  BackupCatalog catalog = repo.openCatalog(BackupCatalog::OpenMode::readWrite);
  // The body ends the transaction itself, as SQLite does on a full disk.
  EXPECT_TRUE(throwsError(
      [&] {
        catalog.withTransaction([&] {
          catalog.rollbackTransaction();
          throw Error(kBackupCatalogErrorDomain, 1, "Failed to insert event: database or disk is full");
        });
      },
      {kBackupCatalogErrorDomain, 1, "Failed to insert event: database or disk is full"}));
  // The catalog is usable afterwards.
  EXPECT_EQ(catalog.withTransaction([&] { return catalog.listRuns(PlanID("p"), false).size(); }), 1u);
}

TEST(CatalogDamageTest, ManifestNumbersAreRangeCheckedBeforeConversion) {
  auto manifest = [](const std::string& file) {
    return R"({"version":1,"createdAt":0,"files":[{"relPath":"x","relPathNorm":"x",)" + file + "}]}";
  };
  struct Case {
    const char* name;
    std::string json;
    std::string message;  // empty: decodes
  } cases[] = {
      {"size 1e20", manifest(R"("sizeBytes":1e20)"),
       "Checkpoint manifest could not be decoded: key files[0].sizeBytes is out of range."},
      {"size 2^64-1", manifest(R"("sizeBytes":18446744073709551615)"),
       "Checkpoint manifest could not be decoded: key files[0].sizeBytes is out of range."},
      {"negative size", manifest(R"("sizeBytes":-1)"),
       "Checkpoint manifest could not be decoded: key files[0].sizeBytes is out of range."},
      {"fractional size", manifest(R"("sizeBytes":1.5)"),
       "Checkpoint manifest could not be decoded: key files[0].sizeBytes is not an integer."},
      // The JSON reader itself refuses a number that overflows to infinity.
      {"infinite date", manifest(R"("modifiedAt":1e400)"),
       "Checkpoint manifest could not be decoded: the data is not valid JSON."},
      {"largest size", manifest(R"("sizeBytes":9223372036854775807)"), ""},
      {"whole float size", manifest(R"("sizeBytes":4096.0)"), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.message.empty()) {
      EXPECT_NO_THROW(SnapshotManifest::fromJSON(c.json));
    } else {
      EXPECT_TRUE(throwsError([&] { SnapshotManifest::fromJSON(c.json); }, {"SnapshotManifest", 1, c.message}));
    }
  }
  SnapshotManifest decoded = SnapshotManifest::fromJSON(manifest(R"("sizeBytes":4096.0)"));
  EXPECT_EQ(decoded.files.at(0).sizeBytes, 4096);
  // A date text cannot show is left out rather than rendered.
  SnapshotManifest farDate = SnapshotManifest::fromJSON(manifest(R"("modifiedAt":1e300,"createdAt":-1e300)"));
  EXPECT_EQ(farDate.files.at(0).modifiedAt, std::nullopt);
  EXPECT_EQ(farDate.files.at(0).createdAt, std::nullopt);
}

TEST(CatalogDamageTest, DatesOutsideYearsOneToNineThousandAreNotRendered) {
  EXPECT_TRUE(isRepresentableDate(0));
  EXPECT_TRUE(isRepresentableDate(kLatestRepresentableDate));
  EXPECT_FALSE(isRepresentableDate(kLatestRepresentableDate + 1));
  EXPECT_FALSE(isRepresentableDate(kEarliestRepresentableDate - 1));
  EXPECT_FALSE(isRepresentableDate(1e300));
  EXPECT_FALSE(isRepresentableDate(std::numeric_limits<double>::quiet_NaN()));
  EXPECT_EQ(formatISO8601(kLatestRepresentableDate), "9999-12-31T23:59:59Z");
  EXPECT_EQ(formatISO8601(kEarliestRepresentableDate), "0001-01-01T00:00:00Z");
  // Out-of-range input stays defined (clamped), for callers that did not check.
  EXPECT_EQ(formatISO8601(1e300), "9999-12-31T23:59:59Z");
}

// The listing of every directory of a run, as "kind path" lines, depth first.
std::vector<std::string> walk(BackupCatalog& catalog, const PlanID& plan, std::int64_t run) {
  std::vector<std::string> lines;
  std::function<void(const std::optional<std::string>&)> visit = [&](const std::optional<std::string>& directory) {
    for (const SnapshotEntry& child : catalog.listSnapshotChildren(plan, run, directory)) {
      lines.push_back(snapshotKindName(child.kind) + " " + child.relPathNorm +
                      (child.blobKey ? " " + child.blobKey->substr(0, 8) : std::string()));
      if (child.kind == SnapshotKind::directory) visit(child.relPathNorm);
    }
  };
  visit(std::nullopt);
  return lines;
}

TEST(CatalogDamageTest, KindChangesReadTheSameThroughHistoryAndCheckpoint) {
  // Folder "a" becomes a file, then a folder again; "b" the reverse.
  auto runs = [](bool checkpoint) {
    return std::vector<TestRun>{
        TestRun{.files = {{"a/x.txt", "ax"}, {"b", "b file"}}, .directories = {{"a"}}, .checkpoint = checkpoint},
        TestRun{.files = {{"a", "a file"}, {"b/y.txt", "by"}}, .directories = {{"b"}}, .checkpoint = checkpoint},
        TestRun{.files = {{"a/z.txt", "az"}, {"b", "b file 2"}}, .directories = {{"a"}}, .checkpoint = checkpoint},
    };
  };
  // Written before the sweeps knew better: run 2 ends with a folder delete for "a" after
  // the file's event, and a file delete for "b" after the folder's.
  std::vector<TestRun> legacy = {
      runs(false)[0],
      TestRun{.files = {{"a", "a file"}, {"b/y.txt", "by"}},
              .directories = {{"b"}},
              .extraEvents = {TestEvent{.relPath = "a/x.txt", .op = "delete", .contents = "ax", .deleted = true},
                              TestEvent{.relPath = "a", .op = "delete", .deleted = true},
                              TestEvent{.relPath = "b", .op = "delete", .contents = "b file", .deleted = true}},
              .sweep = false},
  };
  TempDir temp;
  RepositorySpec spec;
  spec.plans.push_back({PlanID("history"), "History", runs(false)});
  spec.plans.push_back({PlanID("checkpoint"), "Checkpoint", runs(true)});
  spec.plans.push_back({PlanID("legacy"), "Legacy", legacy});
  BuiltRepository repo = buildRepository(temp.path(), spec);
  BackupCatalog catalog = repo.openCatalog();

  const std::vector<std::vector<std::string>> expected = {
      {"directory a", "file a/x.txt " + repo.blobKeysByContents.at("ax").substr(0, 8),
       "file b " + repo.blobKeysByContents.at("b file").substr(0, 8)},
      {"directory b", "file b/y.txt " + repo.blobKeysByContents.at("by").substr(0, 8),
       "file a " + repo.blobKeysByContents.at("a file").substr(0, 8)},
      {"directory a", "file a/z.txt " + repo.blobKeysByContents.at("az").substr(0, 8),
       "file b " + repo.blobKeysByContents.at("b file 2").substr(0, 8)},
  };
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("run " + std::to_string(i + 1));
    EXPECT_EQ(walk(catalog, PlanID("history"), repo.runIDs.at("history")[i]), expected[i]);
    EXPECT_EQ(walk(catalog, PlanID("checkpoint"), repo.runIDs.at("checkpoint")[i]), expected[i]);
    if (i < legacy.size()) {
      EXPECT_EQ(walk(catalog, PlanID("legacy"), repo.runIDs.at("legacy")[i]), expected[i]);
    }
    std::optional<SnapshotEntry> a = catalog.snapshotFileEntry(PlanID("history"), repo.runIDs.at("history")[i], "a");
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(a->blobKey.has_value(), i == 1);
  }
  std::optional<SnapshotEntry> legacyFile =
      catalog.snapshotFileEntry(PlanID("legacy"), repo.runIDs.at("legacy")[1], "a");
  ASSERT_TRUE(legacyFile.has_value());
  EXPECT_EQ(legacyFile->blobKey, repo.blobKeysByContents.at("a file"));

  // The sweeps record no delete for a path the same run recorded with the other kind.
  for (std::size_t i = 1; i < 3; ++i) {
    for (const RunFileEvent& event : catalog.listRunFileEvents(PlanID("history"), repo.runIDs.at("history")[i])) {
      if (event.relPathNorm == "a" || event.relPathNorm == "b") {
        EXPECT_NE(event.operation, "delete") << "run " << i + 1 << " " << event.relPathNorm;
      }
    }
  }
}

}  // namespace
}  // namespace tvr
