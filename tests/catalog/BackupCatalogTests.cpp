#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <stdexcept>
#include <thread>

#include "engine/catalog/BackupCatalog.h"
#include "engine/crypto/EncryptedBlobCodec.h"
#include "engine/crypto/RecoveryKeyWrapping.h"
#include "engine/crypto/RepositoryPathCodec.h"
#include "engine/metadata/RepositoryMetadata.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "tests/support/ErrorAssertions.h"
#include "tests/support/Files.h"
#include "tests/support/RawDatabase.h"
#include "tests/support/RepositoryBuilder.h"
#include "tests/support/SnapshotPrinting.h"
#include "tests/support/TempDir.h"

namespace tvr {
namespace {

namespace fs = std::filesystem;
using test::buildRepository;
using test::BuiltRepository;
using test::RawDatabase;
using test::RepositorySpec;
using test::TempDir;
using test::TestFile;
using test::TestPlan;
using test::TestRun;
using test::throwsError;
using Mode = BackupCatalog::OpenMode;

const char* kKeyMessage = "Repository names are encrypted and require repository key material.";

// A repository with repo.json and nothing else.
void writeRepoJsonOnly(const fs::path& root) {
  RepositoryEncryptionMetadata encryption;
  encryption.version = 1;
  encryption.blobAlgorithm = "AES-256-GCM";
  encryption.compressionAlgorithm = "LZFSE";
  encryption.keyDerivationAlgorithm = "HKDF-SHA256";
  encryption.recoveryWrappedKey = RecoveryKeyWrapping::wrap(test::testKeyMaterial(), "pw");
  RepositoryMetadata::ensureWritableRepository(root, encryption);
}

struct FileState {
  Bytes bytes;
  struct timespec modified;
};
FileState fileState(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0);
  return {readFileBytes(path), info.st_mtim};
}
void expectUnchanged(const FileState& before, const fs::path& path) {
  FileState after = fileState(path);
  EXPECT_EQ(before.bytes, after.bytes);
  EXPECT_EQ(before.modified.tv_sec, after.modified.tv_sec);
  EXPECT_EQ(before.modified.tv_nsec, after.modified.tv_nsec);
}

class RepoJsonOnly : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    template_ = new TempDir();
    writeRepoJsonOnly(template_->path());
  }
  static void TearDownTestSuite() { delete template_; }
  void SetUp() override { fs::copy_file(template_->path() / "repo.json", temp_ / "repo.json"); }
  fs::path catalogPath() const { return temp_ / "catalog.sqlite"; }

  static TempDir* template_;
  TempDir temp_;
};
TempDir* RepoJsonOnly::template_ = nullptr;

TEST_F(RepoJsonOnly, MissingCatalogIsRefusedByReadersAndCreatedForWriting) {
  for (Mode mode : {Mode::readOnly, Mode::readWrite}) {
    EXPECT_TRUE(throwsError([&] { BackupCatalog(temp_.path(), std::nullopt, mode); },
                            {kBackupCatalogErrorDomain, 1, "Repository catalog is missing."}));
    EXPECT_FALSE(fs::exists(catalogPath()));
  }
  { BackupCatalog catalog(temp_.path(), std::nullopt, Mode::createOrOpenForWrite); }
  RawDatabase db(catalogPath());
  EXPECT_EQ(db.value("PRAGMA user_version;"), "1");
  EXPECT_EQ(db.value("SELECT count(*) FROM sqlite_master WHERE type = 'table';"), "4");
  EXPECT_EQ(db.value("SELECT count(*) FROM sqlite_master WHERE type = 'index' AND name LIKE 'idx_%';"), "7");
}

TEST_F(RepoJsonOnly, SchemaAndVersionRefusalsLeaveTheFileUntouched) {
  struct Case {
    const char* name;
    const char* setup;  // run on a fresh file
    std::vector<Mode> modes;
    const char* message;
  } cases[] = {
      {"empty database", "", {Mode::readOnly, Mode::readWrite}, "Repository catalog has no schema version."},
      {"foreign database",
       "CREATE TABLE other(x); INSERT INTO other VALUES (1);",
       {Mode::readOnly, Mode::readWrite},
       "Repository catalog has no schema version."},
      {"version 2",
       "PRAGMA user_version=2;",
       {Mode::readOnly, Mode::readWrite, Mode::createOrOpenForWrite},
       "Unsupported catalog schema version 2; app supports version 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(catalogPath());
    {
      RawDatabase db(catalogPath());
      EXPECT_EQ(db.exec(c.setup), "");
    }
    FileState before = fileState(catalogPath());
    for (Mode mode : c.modes) {
      EXPECT_TRUE(throwsError([&] { BackupCatalog(temp_.path(), test::testKeyMaterial(), mode); },
                              {kBackupCatalogErrorDomain, 1, c.message}));
      expectUnchanged(before, catalogPath());
    }
  }
}

TEST_F(RepoJsonOnly, EmptyFileGetsTheSchemaOnlyWhenOpenedForWriting) {
  writeFileAtomically(catalogPath(), Bytes{});
  FileState before = fileState(catalogPath());
  EXPECT_TRUE(throwsError([&] { BackupCatalog(temp_.path(), std::nullopt, Mode::readOnly); },
                          {kBackupCatalogErrorDomain, 1, "Repository catalog has no schema version."}));
  expectUnchanged(before, catalogPath());
  { BackupCatalog catalog(temp_.path(), std::nullopt, Mode::createOrOpenForWrite); }
  RawDatabase db(catalogPath());
  EXPECT_EQ(db.value("PRAGMA user_version;"), "1");
}

TEST_F(RepoJsonOnly, NotADatabaseFailsReadingTheVersion) {
  writeFileAtomically(catalogPath(), std::string(4096, 'x'));
  EXPECT_TRUE(throwsError([&] { BackupCatalog(temp_.path(), std::nullopt, Mode::readOnly); },
                          {kBackupCatalogErrorDomain, 1, "Failed to read schema version: file is not a database"}));
}

TEST_F(RepoJsonOnly, VersionOneIsUsedAsIsAndMustHoldEveryTable) {
  { BackupCatalog catalog(temp_.path(), std::nullopt, Mode::createOrOpenForWrite); }
  {
    RawDatabase db(catalogPath());
    EXPECT_EQ(db.exec("DROP INDEX idx_runs_plan_started;"), "");
  }
  { BackupCatalog catalog(temp_.path(), std::nullopt, Mode::createOrOpenForWrite); }
  {
    RawDatabase db(catalogPath());
    EXPECT_EQ(db.value("SELECT count(*) FROM sqlite_master WHERE name = 'idx_runs_plan_started';"), "0");
    EXPECT_EQ(db.exec("DROP TABLE checkpoints;"), "");
  }
  for (Mode mode : {Mode::readOnly, Mode::createOrOpenForWrite}) {
    EXPECT_TRUE(throwsError(
        [&] { BackupCatalog(temp_.path(), std::nullopt, mode); },
        {kBackupCatalogErrorDomain, 1, "Failed to prepare insertCheckpoint statement: no such table: checkpoints"}));
  }
}

TEST_F(RepoJsonOnly, CatalogPathThatIsAFolderCannotBeOpened) {
  fs::create_directory(catalogPath());
  EXPECT_TRUE(throwsError([&] { BackupCatalog(temp_.path(), std::nullopt, Mode::readOnly); },
                          {kBackupCatalogErrorDomain, 1, "Repository catalog is not a regular file."}));
  EXPECT_TRUE(fs::is_directory(catalogPath()));
}

TEST(BackupCatalogOpenTest, RepositoryGateComesFirst) {
  TempDir temp;
  EXPECT_TRUE(throwsError([&] { BackupCatalog(temp.path(), std::nullopt, Mode::createOrOpenForWrite); },
                          {"RepositoryMetadata", 1, "Repository is missing repo.json."}));
  EXPECT_FALSE(fs::exists(temp / "catalog.sqlite"));
}

// One repository with one plan and one completed run, rebuilt for every test.
class WritableCatalog : public ::testing::Test {
 protected:
  void SetUp() override {
    RepositorySpec spec;
    spec.plans.push_back(
        {"plan", "Plan", {TestRun{.files = {{"a.txt", "alpha"}, {"dir/b.txt", "beta"}}, .directories = {{"dir"}}}}});
    repo_ = std::make_unique<BuiltRepository>(buildRepository(temp_.path(), spec));
    catalog_ = std::make_unique<BackupCatalog>(repo_->openCatalog(Mode::readWrite));
    runID_ = repo_->runIDs.at("plan").front();
  }
  RawDatabase raw() { return RawDatabase(temp_ / "catalog.sqlite"); }
  // Every file below blobs/, temporary ones included (an emptied folder may stay).
  std::vector<std::string> blobFiles() {
    std::vector<std::string> files = test::treeListing(temp_ / "blobs");
    std::erase_if(files, [](const std::string& name) { return name.ends_with("/"); });
    return files;
  }
  std::int64_t begin(const std::string& uuid) {
    return catalog_->beginRun(uuid, "plan", "/src", "/dst", false, "sha256", std::nullopt, std::nullopt, std::nullopt);
  }

  TempDir temp_;
  std::unique_ptr<BuiltRepository> repo_;
  std::unique_ptr<BackupCatalog> catalog_;
  std::int64_t runID_ = 0;
};

// Every time the catalog stamps comes from its clock.
TEST_F(WritableCatalog, TimestampsComeFromTheInjectedClock) {
  catalog_.reset();
  double now = 1000;
  BackupCatalog catalog(repo_->root, repo_->keyMaterial, Mode::readWrite, [&] { return now += 1; });
  const std::int64_t run = catalog.beginRun("clocked", "plan", "/src", "/dst", false, "sha256", {}, {}, {});
  catalog.insertEvent(run, "plan", "new.txt", "new.txt", "copy", std::string(64, 'e'), 1, {}, 5, {}, false);
  catalog.upsertCurrent("plan", run, "new.txt", "new.txt", std::string(64, 'e'), 1, {}, 5, {});
  catalog.sweepDeletionsAndRecordEvents("plan", run);  // a.txt and dir/b.txt were not seen
  catalog.finishRun(run);
  catalog.writeSnapshotCheckpoint("plan", run);
  const std::string id = std::to_string(run);
  RawDatabase db(temp_ / "catalog.sqlite");
  EXPECT_EQ(db.rows("SELECT started_at, finished_at FROM runs WHERE id = " + id + ";"),
            (std::vector<std::string>{"1001.0|1004.0"}));
  EXPECT_EQ(db.rows("SELECT DISTINCT ts FROM file_events WHERE run_id = " + id + " ORDER BY ts;"),
            (std::vector<std::string>{"1002.0", "1003.0"}));
  EXPECT_EQ(db.rows("SELECT DISTINCT deleted_at FROM files_current WHERE deleted = 1;"),
            (std::vector<std::string>{"1003.0"}));
  EXPECT_EQ(db.rows("SELECT created_at FROM checkpoints WHERE run_id = " + id + ";"),
            (std::vector<std::string>{"1006.0"}));
  std::optional<std::string> key = catalog.selectCheckpointBlobKey("plan", run);
  ASSERT_TRUE(key);
  Bytes manifest = EncryptedBlobCodec(repo_->keyMaterial).open(readFileBytes(repo_->blobPath(*key)));
  EXPECT_EQ(SnapshotManifest::fromJSON(stringOf(manifest)).createdAt, 1005.0);
}

TEST_F(WritableCatalog, BuilderCatalogHasExactlyTheSchema) {
  RawDatabase db(temp_ / "catalog.sqlite");
  EXPECT_EQ(db.value("PRAGMA user_version;"), "1");
  EXPECT_EQ(db.rows("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name;"),
            (std::vector<std::string>{"checkpoints", "file_events", "files_current", "runs"}));
  auto columns = [&](const std::string& table) {
    // name|type|notnull|default|pk
    return db.rows("SELECT name, type, \"notnull\", coalesce(dflt_value, ''), pk FROM pragma_table_info('" + table +
                   "');");
  };
  EXPECT_EQ(columns("runs"), (std::vector<std::string>{"id|INTEGER|0||1",
                                                       "run_uuid|TEXT|1||0",
                                                       "plan_id|TEXT|1|''|0",
                                                       "started_at|REAL|1||0",
                                                       "finished_at|REAL|0||0",
                                                       "source_path_ciphertext|BLOB|1||0",
                                                       "dest_path_ciphertext|BLOB|1||0",
                                                       "notes|TEXT|0||0",
                                                       "case_insensitive|INTEGER|1|0|0",
                                                       "hash_algorithm|TEXT|1|'sha256'|0",
                                                       "engine_version|TEXT|0||0",
                                                       "source_volume_uuid|TEXT|0||0",
                                                       "dest_volume_uuid|TEXT|0||0",
                                                       "status|TEXT|1|'running'|0",
                                                       "files_total_count|INTEGER|0||0",
                                                       "files_total_bytes|INTEGER|0||0",
                                                       "files_copy_count|INTEGER|0||0",
                                                       "files_replace_count|INTEGER|0||0",
                                                       "files_skipped_count|INTEGER|0||0",
                                                       "files_deleted_count|INTEGER|0||0"}));
  EXPECT_EQ(
      columns("files_current"),
      (std::vector<std::string>{"plan_id|TEXT|1||1", "path_id|TEXT|1||2", "rel_path_ciphertext|BLOB|1||0",
                                "rel_path_norm_ciphertext|BLOB|1||0", "blob_key|TEXT|1||0", "size_bytes|INTEGER|1||0",
                                "created_at|REAL|0||0", "modified_at|REAL|1||0", "content_id|INTEGER|0||0",
                                "last_seen_run_id|INTEGER|1||0", "deleted|INTEGER|1|0|0", "deleted_at|REAL|0||0"}));
  EXPECT_EQ(columns("file_events"),
            (std::vector<std::string>{"id|INTEGER|0||1", "run_id|INTEGER|1||0", "plan_id|TEXT|1||0",
                                      "path_id|TEXT|1||0", "rel_path_ciphertext|BLOB|1||0",
                                      "rel_path_norm_ciphertext|BLOB|1||0", "op|TEXT|1||0", "blob_key|TEXT|0||0",
                                      "size_bytes|INTEGER|0||0", "created_at|REAL|0||0", "modified_at|REAL|0||0",
                                      "content_id|INTEGER|0||0", "deleted|INTEGER|1|0|0", "ts|REAL|1||0"}));
  EXPECT_EQ(columns("checkpoints"), (std::vector<std::string>{"plan_id|TEXT|1||1", "run_id|INTEGER|1||2",
                                                              "manifest_blob_key|TEXT|1||0", "created_at|REAL|1||0"}));
  EXPECT_EQ(
      db.rows("SELECT m.name, m.tbl_name, il.\"unique\", group_concat(ii.name, ',') FROM sqlite_master m "
              "JOIN pragma_index_list(m.tbl_name) il ON il.name = m.name "
              "JOIN pragma_index_info(m.name) ii WHERE m.type = 'index' AND m.sql IS NOT NULL "
              "GROUP BY m.name ORDER BY m.name;"),
      (std::vector<std::string>{"idx_file_events_plan_norm_run|file_events|0|plan_id,path_id,run_id",
                                "idx_file_events_plan_run_norm|file_events|0|plan_id,run_id,path_id",
                                "idx_files_current_blob|files_current|0|blob_key",
                                "idx_files_current_seen|files_current|0|plan_id,last_seen_run_id",
                                "idx_files_current_sweep|files_current|0|plan_id,deleted,last_seen_run_id",
                                "idx_runs_plan_started|runs|0|plan_id,started_at", "idx_runs_uuid|runs|1|run_uuid"}));
  EXPECT_EQ(db.rows("SELECT \"table\", \"from\", \"to\", on_delete FROM pragma_foreign_key_list('file_events');"),
            (std::vector<std::string>{"runs|run_id|id|CASCADE"}));
  EXPECT_NE(db.value("SELECT sql FROM sqlite_master WHERE name = 'runs';")
                .find("CHECK(status IN ('running', 'completed', 'failed', 'cancelled'))"),
            std::string::npos);
}

TEST_F(WritableCatalog, TransactionsCommitRollBackAndRethrowUnchanged) {
  std::int64_t id = catalog_->withTransaction([&] { return begin("committed"); });
  EXPECT_GT(id, runID_);

  struct BodyError : std::runtime_error {
    using std::runtime_error::runtime_error;
  };
  try {
    catalog_->withTransaction([&] {
      begin("rolled-back");
      catalog_->insertEvent(runID_, "plan", "x", "x", "copy", std::string(64, 'a'), 1, std::nullopt, 1.0, std::nullopt,
                            false);
      throw BodyError("body failed");
    });
    ADD_FAILURE() << "no error";
  } catch (const BodyError& error) {
    EXPECT_STREQ(error.what(), "body failed");
  }
  EXPECT_EQ(raw().value("SELECT count(*) FROM runs WHERE run_uuid = 'rolled-back';"), "0");
  EXPECT_EQ(
      raw().value("SELECT count(*) FROM file_events WHERE op = 'copy' AND run_id = " + std::to_string(runID_) + ";"),
      "2");

  EXPECT_TRUE(throwsError(
      [&] { catalog_->withTransaction([&] { catalog_->beginTransaction(); }); },
      {kBackupCatalogErrorDomain, 1, "Failed to begin transaction: cannot start a transaction within a transaction"}));
  // A transaction SQLite (here the body) already ended: the error that ended it comes out,
  // not the failing ROLLBACK's "no transaction is active".
  try {
    catalog_->withTransaction([&] {
      catalog_->rollbackTransaction();
      throw BodyError("the body's own error");
    });
    ADD_FAILURE() << "no error";
  } catch (const BodyError& error) {
    EXPECT_STREQ(error.what(), "the body's own error");
  }
  EXPECT_TRUE(throwsError(
      [&] { catalog_->commitTransaction(); },
      {kBackupCatalogErrorDomain, 1, "Failed to commit transaction: cannot commit - no transaction is active"}));
  // The catalog is usable afterwards.
  EXPECT_EQ(catalog_->listRuns("plan", true).size(), 2u);
}

TEST_F(WritableCatalog, RunLifecycleAndItsRefusals) {
  std::int64_t running = begin("run-uuid-2");
  EXPECT_TRUE(
      throwsError([&] { begin("run-uuid-2"); },
                  {kBackupCatalogErrorDomain, 1, "Failed to insert run: UNIQUE constraint failed: runs.run_uuid"}));

  for (RunStatus status : {RunStatus::completed, RunStatus::running}) {
    EXPECT_TRUE(
        throwsError([&] { catalog_->markRunFailed(running, status); },
                    {kBackupCatalogErrorDomain, 1, "Only failed or cancelled runs can be marked with markRunFailed."}));
  }
  EXPECT_EQ(raw().value("SELECT status, finished_at FROM runs WHERE id = " + std::to_string(running) + ";"),
            "running|NULL");
  catalog_->markRunFailed(running, RunStatus::cancelled);
  EXPECT_EQ(raw().value("SELECT status, finished_at IS NOT NULL FROM runs WHERE id = " + std::to_string(running) + ";"),
            "cancelled|1");
  EXPECT_TRUE(
      throwsError([&] { catalog_->finishRun(999); }, {kBackupCatalogErrorDomain, 1, "No run found with id 999"}));
  EXPECT_TRUE(throwsError([&] { catalog_->markRunFailed(999, RunStatus::failed); },
                          {kBackupCatalogErrorDomain, 1, "No run found with id 999"}));

  catalog_->updateRunSummary(running, {10, 20000000000, 1, 2, 3, 4, 99, 99, 99});
  std::vector<RunInfo> runs = catalog_->listRuns("plan", true);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[1].id, running);
  EXPECT_EQ(runs[1].status, RunStatus::cancelled);
  EXPECT_EQ(runs[1].filesTotalCount, 10);
  EXPECT_EQ(runs[1].filesTotalBytes, 20000000000);
  EXPECT_EQ(runs[1].filesDeletedCount, 4);
  EXPECT_EQ(catalog_->listRuns("plan", false).size(), 1u);
  EXPECT_TRUE(catalog_->listRuns("other-plan", true).empty());

  RawDatabase db = raw();
  EXPECT_EQ(db.exec("UPDATE runs SET status = 'paused' WHERE id = 1;"),
            "CHECK constraint failed: status IN ('running', 'completed', 'failed', 'cancelled')");
}

TEST_F(WritableCatalog, ConstraintFailuresCarryTheOperationsText) {
  EXPECT_EQ(raw().exec("INSERT INTO file_events (run_id, plan_id, path_id, rel_path_ciphertext, "
                       "rel_path_norm_ciphertext, op, ts) VALUES (1, 'plan', 'short', x'00', x'00', 'copy', 0);"),
            "CHECK constraint failed: length(path_id) = 64");
  EXPECT_TRUE(throwsError(
      [&] { catalog_->upsertCurrent("plan", runID_, "x", "x", "short", 1, std::nullopt, 1.0, std::nullopt); },
      {kBackupCatalogErrorDomain, 1, "Failed to upsert current: CHECK constraint failed: length(blob_key) = 64"}));
  EXPECT_TRUE(throwsError(
      [&] {
        catalog_->insertEvent(4242, "plan", "x", "x", "copy", std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                              std::nullopt, false);
      },
      {kBackupCatalogErrorDomain, 1, "Failed to insert event: FOREIGN KEY constraint failed"}));
}

TEST_F(WritableCatalog, DeletingARunCascadesAndAMissingRunIsANoOp) {
  catalog_->writeSnapshotCheckpoint("plan", runID_);
  RawDatabase db = raw();
  auto counts = [&] {
    return db.value(
        "SELECT (SELECT count(*) FROM runs), (SELECT count(*) FROM file_events), "
        "(SELECT count(*) FROM files_current), (SELECT count(*) FROM checkpoints);");
  };
  EXPECT_EQ(counts(), "1|3|2|1");
  catalog_->deleteRun("plan", "no-such-uuid");
  catalog_->deleteRun("other-plan", repo_->runUUIDs.at("plan").front());
  EXPECT_EQ(counts(), "1|3|2|1");
  catalog_->deleteRun("plan", repo_->runUUIDs.at("plan").front());
  EXPECT_EQ(counts(), "0|0|0|0");
}

// Run 1 saw a.txt and dir/b.txt; run 2 saw only a.txt and swept dir/b.txt away; run 3
// (before or after run 2 is deleted) sees only a.txt again.
class DeletedSweepingRun : public WritableCatalog, public ::testing::WithParamInterface<bool> {
 protected:
  std::vector<std::string> files(std::int64_t run) {
    std::vector<std::string> out;
    for (const auto& entry : catalog_->snapshotFileManifestEntries("plan", run)) out.push_back(entry.relPathNorm);
    std::sort(out.begin(), out.end());
    return out;
  }
  std::int64_t runSeeingOnlyA(const std::string& uuid) {
    return catalog_->withTransaction([&] {
      std::int64_t id = begin(uuid);
      catalog_->touchCurrent("plan", id, "a.txt");
      catalog_->sweepDeletionsAndRecordEvents("plan", id);
      catalog_->finishRun(id);
      return id;
    });
  }
};

TEST_P(DeletedSweepingRun, LaterSnapshotsKeepTheDeletionAndRunNumbersStayUnique) {
  const bool laterRunFirst = GetParam();
  const std::int64_t run2 = runSeeingOnlyA("second");
  std::int64_t run3 = laterRunFirst ? runSeeingOnlyA("third") : 0;
  catalog_->deleteRun("plan", "second");
  if (!laterRunFirst) run3 = runSeeingOnlyA("third");
  EXPECT_GT(run3, run2);  // never the deleted run's number again

  EXPECT_EQ(files(runID_), (std::vector<std::string>{"a.txt", "dir/b.txt"}));
  EXPECT_EQ(files(run3), (std::vector<std::string>{"a.txt"}));
  auto current = catalog_->loadCurrentIndex("plan");
  ASSERT_EQ(current.count("dir/b.txt"), 1u);
  EXPECT_TRUE(current.at("dir/b.txt").deleted);
  EXPECT_EQ(current.at("dir/b.txt").lastSeenRunID, run3);
  EXPECT_EQ(current.at("a.txt").lastSeenRunID, run3);

  // Run 3 deleted as the newest: the rows fall back to what run 1 recorded.
  catalog_->deleteRun("plan", "third");
  current = catalog_->loadCurrentIndex("plan");
  EXPECT_EQ(current.at("a.txt").lastSeenRunID, runID_);
  EXPECT_FALSE(current.at("dir/b.txt").deleted);
  EXPECT_EQ(current.at("dir/b.txt").blobKey, repo_->blobKeysByContents.at("beta"));
  EXPECT_GT(begin("fourth"), run3);
}

INSTANTIATE_TEST_SUITE_P(LaterRun, DeletedSweepingRun, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "BeforeDeletion" : "AfterDeletion"; });

TEST_F(WritableCatalog, TouchingAPathWithoutCurrentRowFails) {
  std::int64_t run2 = begin("second");
  catalog_->touchCurrent("plan", run2, "a.txt");
  EXPECT_TRUE(throwsError([&] { catalog_->touchCurrent("plan", run2, "never-seen.txt"); },
                          {kBackupCatalogErrorDomain, 1,
                           "No current file found for path ID " +
                               RepositoryPathCodec(repo_->keyMaterial).pathIDForNormalizedPath("never-seen.txt")}));
  EXPECT_EQ(catalog_->loadCurrentIndex("plan").at("a.txt").lastSeenRunID, run2);
}

TEST_F(WritableCatalog, WithoutKeyMaterialPathWritesAreRefused) {
  BackupCatalog keyless(temp_.path(), std::nullopt, Mode::readWrite);
  EXPECT_TRUE(throwsError([&] { keyless.beginRun("u", "plan", "/s", "/d", false, "sha256", {}, {}, {}); },
                          {kBackupCatalogErrorDomain, 1, kKeyMessage}));
  EXPECT_TRUE(throwsError([&] { keyless.insertEvent(runID_, "plan", "a", "a", "mkdir", {}, {}, {}, {}, {}, false); },
                          {kBackupCatalogErrorDomain, 1, kKeyMessage}));
  EXPECT_TRUE(throwsError([&] { keyless.upsertCurrent("plan", runID_, "a", "a", std::string(64, 'a'), 1, {}, 1, {}); },
                          {kBackupCatalogErrorDomain, 1, kKeyMessage}));
  EXPECT_TRUE(
      throwsError([&] { keyless.touchCurrent("plan", runID_, "a"); }, {kBackupCatalogErrorDomain, 1, kKeyMessage}));
  EXPECT_TRUE(throwsError([&] { keyless.sweepDirectoryDeletionsAndRecordEvents("plan", runID_, {}); },
                          {kBackupCatalogErrorDomain, 1, kKeyMessage}));
  EXPECT_TRUE(throwsError([&] { keyless.writeSnapshotCheckpoint("plan", runID_); },
                          {kBackupCatalogErrorDomain, 1, kKeyMessage}));
  EXPECT_EQ(keyless.listRuns("plan", false).size(), 1u);
  keyless.finishRun(runID_);  // needs no path work
}

TEST_F(WritableCatalog, SweepsRecordDeletionsOnce) {
  std::int64_t run2 = catalog_->withTransaction([&] {
    std::int64_t id = begin("second");
    catalog_->touchCurrent("plan", id, "a.txt");
    EXPECT_EQ(catalog_->sweepDeletionsAndRecordEvents("plan", id), 1);  // dir/b.txt
    EXPECT_EQ(catalog_->sweepDeletionsAndRecordEvents("plan", id), 0);
    EXPECT_EQ(catalog_->sweepDirectoryDeletionsAndRecordEvents("plan", id, {}), 1);  // dir
    EXPECT_EQ(catalog_->sweepDirectoryDeletionsAndRecordEvents("plan", id, {}), 0);
    catalog_->insertEvent(id, "plan", "new-dir", "new-dir", "mkdir", {}, {}, {}, {}, {}, false);
    // A directory whose newest event is this run's is never swept.
    EXPECT_EQ(catalog_->sweepDirectoryDeletionsAndRecordEvents("plan", id, {}), 0);
    catalog_->finishRun(id);
    return id;
  });
  auto current = catalog_->loadCurrentIndex("plan");
  ASSERT_EQ(current.size(), 2u);
  EXPECT_TRUE(current.at("dir/b.txt").deleted);
  EXPECT_EQ(current.at("dir/b.txt").lastSeenRunID, run2);
  EXPECT_FALSE(current.at("a.txt").deleted);
  EXPECT_EQ(current.at("a.txt").lastSeenRunID, run2);
  EXPECT_EQ(raw().value("SELECT deleted_at IS NOT NULL FROM files_current WHERE deleted = 1;"), "1");

  std::vector<RunFileEvent> events = catalog_->listRunFileEvents("plan", run2);
  std::map<std::string, RunFileEvent> byPath;
  for (const auto& event : events) byPath[event.relPathNorm] = event;
  ASSERT_EQ(byPath.size(), 3u);
  EXPECT_EQ(byPath.at("dir/b.txt").operation, "delete");
  EXPECT_TRUE(byPath.at("dir/b.txt").deleted);
  EXPECT_EQ(byPath.at("dir/b.txt").blobKey, repo_->blobKeysByContents.at("beta"));
  EXPECT_EQ(byPath.at("dir/b.txt").sizeBytes, 4);
  EXPECT_EQ(byPath.at("dir").operation, "delete");
  EXPECT_EQ(byPath.at("dir").blobKey, std::nullopt);
  EXPECT_EQ(byPath.at("new-dir").operation, "mkdir");

  auto names = [](const std::vector<SnapshotEntry>& list) {
    std::vector<std::string> out;
    for (const auto& entry : list) out.push_back(entry.id);
    return out;
  };
  EXPECT_EQ(names(catalog_->listSnapshotChildren("plan", run2, std::nullopt)),
            (std::vector<std::string>{"d:new-dir", "f:a.txt"}));
  EXPECT_EQ(names(catalog_->listSnapshotChildren("plan", runID_, std::nullopt)),
            (std::vector<std::string>{"d:dir", "f:a.txt"}));

  // A file seen again comes back to life through upsert.
  catalog_->upsertCurrent("plan", run2, "dir/b.txt", "dir/b.txt", repo_->blobKeysByContents.at("beta"), 4, std::nullopt,
                          5.0, 7);
  EXPECT_FALSE(catalog_->loadCurrentIndex("plan").at("dir/b.txt").deleted);
  EXPECT_EQ(catalog_->loadCurrentIndex("plan").at("dir/b.txt").contentID, 7);
}

TEST_F(WritableCatalog, RewrittenCheckpointRemovesTheSupersededManifest) {
  std::string first = catalog_->writeSnapshotCheckpoint("plan", runID_);
  ASSERT_TRUE(fs::exists(repo_->blobPath(first)));
  std::string second = catalog_->writeSnapshotCheckpoint("plan", runID_);
  EXPECT_NE(first, second);
  EXPECT_FALSE(fs::exists(repo_->blobPath(first)));
  EXPECT_TRUE(fs::exists(repo_->blobPath(second)));
  EXPECT_EQ(catalog_->checkpointBlobKeys(), (std::set<std::string>{second}));
  EXPECT_EQ(catalog_->selectCheckpointBlobKey("plan", runID_), second);
  std::set<std::string> referenced = catalog_->referencedBlobKeys();
  EXPECT_EQ(referenced, (std::set<std::string>{second, repo_->blobKeysByContents.at("alpha"),
                                               repo_->blobKeysByContents.at("beta")}));

  // Inside a transaction that rolls back, the restored row must still find its manifest.
  struct Abort {};
  try {
    catalog_->withTransaction([&] {
      catalog_->writeSnapshotCheckpoint("plan", runID_);
      throw Abort{};
    });
  } catch (const Abort&) {
  }
  EXPECT_EQ(catalog_->selectCheckpointBlobKey("plan", runID_), second);
  EXPECT_TRUE(fs::exists(repo_->blobPath(second)));
  EXPECT_EQ(catalog_->listSnapshotChildren("plan", runID_, std::nullopt).size(), 2u);
  std::string third = catalog_->withTransaction([&] { return catalog_->writeSnapshotCheckpoint("plan", runID_); });
  EXPECT_FALSE(fs::exists(repo_->blobPath(second)));
  EXPECT_TRUE(fs::exists(repo_->blobPath(third)));
}

TEST_F(WritableCatalog, ManifestKeyFromTheDatabaseNeverNamesAPathOutsideBlobs) {
  std::string key = catalog_->writeSnapshotCheckpoint("plan", runID_);
  writeFileAtomically(temp_ / "victim", std::string("keep"));
  std::string hostile = "../../victim" + std::string(52, 'x');
  ASSERT_EQ(hostile.size(), 64u);
  ASSERT_EQ(raw().exec("UPDATE checkpoints SET manifest_blob_key = '" + hostile + "';"), "");
  BackupCatalogSnapshotIndexCache::shared().removeAll();
  EXPECT_TRUE(throwsError(
      [&] { catalog_->listSnapshotChildren("plan", runID_, std::nullopt); },
      {kBackupCatalogErrorDomain, 1, "Checkpoint manifest key " + hostile + " of run 1 is not a valid blob key."}));
  catalog_->writeSnapshotCheckpoint("plan", runID_);
  EXPECT_TRUE(fs::exists(temp_ / "victim"));
  EXPECT_TRUE(fs::exists(repo_->blobPath(key)));
}

TEST_F(WritableCatalog, BuilderAppendsARunAgainstTheCurrentState) {
  catalog_.reset();
  std::int64_t second = test::appendRun(*repo_, "plan", TestRun{.files = {{"a.txt", "alpha"}}});
  std::int64_t third = test::appendRun(
      *repo_, "plan", TestRun{.files = {{"a.txt", "changed"}}, .directories = {{"dir"}}, .status = RunStatus::running});
  BackupCatalog catalog = repo_->openCatalog();
  std::map<std::string, std::string> operations;
  for (const auto& event : catalog.listRunFileEvents("plan", second)) operations[event.relPathNorm] = event.operation;
  EXPECT_EQ(operations, (std::map<std::string, std::string>{{"dir", "delete"}, {"dir/b.txt", "delete"}}));
  operations.clear();
  for (const auto& event : catalog.listRunFileEvents("plan", third)) operations[event.relPathNorm] = event.operation;
  EXPECT_EQ(operations, (std::map<std::string, std::string>{{"a.txt", "replace"}, {"dir", "mkdir"}}));
  std::vector<RunInfo> runs = catalog.listRuns("plan", true);
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_EQ(runs[1].filesSkippedCount, 1);
  EXPECT_EQ(runs[1].filesDeletedCount, 1);
  EXPECT_EQ(runs[2].status, RunStatus::running);
  EXPECT_EQ(runs[2].finishedAt, std::nullopt);
}

TEST_F(WritableCatalog, DamagedManifestsAndCiphertextsStopTheQuery) {
  std::string key = catalog_->writeSnapshotCheckpoint("plan", runID_);
  BackupCatalogSnapshotIndexCache::shared().removeAll();
  Bytes blob = readFileBytes(repo_->blobPath(key));
  blob.back() ^= 0x01;
  writeFileAtomically(repo_->blobPath(key), blob);
  EXPECT_THROW(catalog_->listSnapshotChildren("plan", runID_, std::nullopt), Error);
  fs::remove(repo_->blobPath(key));
  EXPECT_THROW(catalog_->snapshotFileEntry("plan", runID_, "a.txt"), PosixError);

  ASSERT_EQ(raw().exec("DELETE FROM checkpoints;"), "");
  ASSERT_EQ(raw().exec("UPDATE file_events SET rel_path_norm_ciphertext = x'0102' WHERE op = 'mkdir';"), "");
  EXPECT_THROW(catalog_->listSnapshotChildren("plan", runID_, std::nullopt), Error);
  EXPECT_THROW(catalog_->loadSnapshot("plan", runID_), Error);
  EXPECT_THROW(catalog_->listRunFileEvents("plan", runID_), Error);
  const std::vector<std::string> blobs = blobFiles();
  EXPECT_THROW(catalog_->writeSnapshotCheckpoint("plan", runID_), Error);
  EXPECT_EQ(catalog_->checkpointBlobKeys(), std::set<std::string>{});
  EXPECT_EQ(blobFiles(), blobs);
}

// A checkpoint whose row cannot be inserted leaves neither its manifest nor a temporary file.
TEST_F(WritableCatalog, RefusedCheckpointRowLeavesNoManifest) {
  const std::vector<std::string> blobs = blobFiles();
  ASSERT_EQ(raw().exec("CREATE TRIGGER refuse BEFORE INSERT ON checkpoints BEGIN SELECT RAISE(ABORT, 'refused'); END;"),
            "");
  EXPECT_TRUE(throwsError([&] { catalog_->writeSnapshotCheckpoint("plan", runID_); },
                          {kBackupCatalogErrorDomain, 1, "Failed to insert checkpoint: refused"}));
  EXPECT_EQ(catalog_->checkpointBlobKeys(), std::set<std::string>{});
  EXPECT_EQ(blobFiles(), blobs);
  ASSERT_EQ(raw().exec("DROP TRIGGER refuse;"), "");
  EXPECT_EQ(catalog_->listSnapshotChildren("plan", runID_, std::nullopt).size(), 2u);  // the read was ended
  catalog_->withTransaction([&] { return catalog_->writeSnapshotCheckpoint("plan", runID_); });
  EXPECT_EQ(catalog_->checkpointBlobKeys().size(), 1u);
}

TEST_F(WritableCatalog, OperationsFromSeveralThreadsAreSerialised) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        catalog_->insertEvent(runID_, "plan", "t" + std::to_string(t) + "/" + std::to_string(i),
                              "t" + std::to_string(t) + "/" + std::to_string(i), "copy", std::string(64, 'c'), 1,
                              std::nullopt, 1.0, std::nullopt, false);
        catalog_->listRuns("plan", true);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(catalog_->listRunFileEvents("plan", runID_).size(), 103u);
}

}  // namespace
}  // namespace tvr
