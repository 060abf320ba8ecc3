#include <unordered_set>
#include <vector>

#include "engine/catalog/BackupCatalog.h"
#include "engine/catalog/CatalogImpl.h"
#include "engine/catalog/SnapshotPaths.h"
#include "engine/crypto/EncryptedBlobCodec.h"
#include "engine/storage/BackupCatalogBlobStore.h"
#include "engine/storage/RepositoryObjectKey.h"
#include "platform/Error.h"

namespace tvr {

using catalog_internal::catalogError;
using catalog_internal::LatestEvent;
using catalog_internal::Row;
using catalog_internal::StatementHandle;
using catalog_internal::stepRow;

// ---------------------------------------------------------------- Impl writes

// SQLite hands a new run the number after the highest remaining one, which is the number
// of a deleted newest run. Run numbers are used everywhere (and by people), so a new run
// takes the number after every run that ever existed instead.
std::int64_t BackupCatalog::Impl::renumberPastDeletedRuns(std::int64_t runID) {
  std::optional<std::int64_t> highestDeleted;
  {
    StatementHandle exists = connection.prepareDynamic(
        "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'deleted_runs';", "Failed to insert run");
    if (sqlite3_step(exists.get()) != SQLITE_ROW) return runID;
    StatementHandle select = connection.prepareDynamic("SELECT max(id) FROM deleted_runs;", "Failed to insert run");
    if (sqlite3_step(select.get()) != SQLITE_ROW) {
      throw catalogError("Failed to insert run: " + connection.sqliteMessage());
    }
    Row row(db(), select.get());
    highestDeleted = row.optionalInt64(0);
  }
  if (!highestDeleted || runID > *highestDeleted) return runID;
  StatementHandle update = connection.prepareDynamic("UPDATE runs SET id = ? WHERE id = ?;", "Failed to insert run");
  Row row(db(), update.get());
  row.int64(1, *highestDeleted + 1);
  row.int64(2, runID);
  if (sqlite3_step(update.get()) != SQLITE_DONE) {
    throw catalogError("Failed to insert run: " + connection.sqliteMessage());
  }
  return *highestDeleted + 1;
}

// Later snapshots are rebuilt from the history up to them, which includes this run's
// events: a file it replaced or found deleted stays so only through them. Those of its
// events that the plan's next run does not supersede become that run's, so every later
// snapshot reads the same after the deletion.
void BackupCatalog::Impl::carryEventsForwardPast(const PlanID& planID, std::int64_t runID) {
  std::optional<std::int64_t> nextRunID;
  {
    StatementHandle select = connection.prepareDynamic("SELECT min(id) FROM runs WHERE plan_id = ? AND id > ?;",
                                                       "Failed to prepare deleteRun");
    Row row(db(), select.get());
    row.text(1, planID.rawValue());
    row.int64(2, runID);
    if (sqlite3_step(select.get()) != SQLITE_ROW) {
      throw catalogError("Failed to delete run: " + connection.sqliteMessage());
    }
    nextRunID = row.optionalInt64(0);
  }
  if (!nextRunID) return;
  StatementHandle update = connection.prepareDynamic(
      "UPDATE file_events SET run_id = ?1\n"
      "WHERE plan_id = ?2 AND run_id = ?3\n"
      "  AND path_id NOT IN (SELECT path_id FROM file_events WHERE plan_id = ?2 AND run_id = ?1);",
      "Failed to prepare deleteRun");
  Row row(db(), update.get());
  row.int64(1, *nextRunID);
  row.text(2, planID.rawValue());
  row.int64(3, runID);
  if (sqlite3_step(update.get()) != SQLITE_DONE) {
    throw catalogError("Failed to delete run: " + connection.sqliteMessage());
  }
}

// Before a run goes, the current rows it was the last to see are set back to the newest
// state that the remaining history records for them (a deletion stays a deletion), so that
// later sweeps still see them; only rows with no other history go with the run.
void BackupCatalog::Impl::rebuildCurrentRowsSeenOnlyBy(const PlanID& planID, std::int64_t runID) {
  struct Rebuilt {
    std::string pathID;
    Bytes relPathCiphertext, relPathNormCiphertext;
    std::string blobKey;
    std::int64_t sizeBytes;
    std::optional<double> createdAt;
    double modifiedAt;
    std::optional<std::int64_t> contentID;
    bool deleted;
    double ts;
    std::int64_t runID;
  };
  std::vector<Rebuilt> rows;
  catalog_internal::forEachLatestEvent(
      connection, planID.rawValue(),
      "run_id != ?2 AND blob_key IS NOT NULL\n"
      "  AND path_id IN (SELECT path_id FROM files_current WHERE plan_id = ?1 AND last_seen_run_id = ?2)",
      "Failed to prepare deleteRun", [&](Row& row) { row.int64(2, runID); }, "Failed to delete run: ",
      [&](const LatestEvent* file, const LatestEvent*) {
        if (!file || !file->sizeBytes || !file->modifiedAt) return;
        rows.push_back({file->pathID, file->relPathCiphertext, file->relPathNormCiphertext, *file->blobKey,
                        *file->sizeBytes, file->createdAt, *file->modifiedAt, file->contentID, file->deleted, file->ts,
                        file->runID});
      });
  if (rows.empty()) return;
  StatementHandle update = connection.prepareDynamic(
      "UPDATE files_current SET rel_path_ciphertext = ?, rel_path_norm_ciphertext = ?, blob_key = ?,\n"
      "  size_bytes = ?, created_at = ?, modified_at = ?, content_id = ?, last_seen_run_id = ?, deleted = ?,\n"
      "  deleted_at = ?\n"
      "WHERE plan_id = ? AND path_id = ?;",
      "Failed to prepare deleteRun");
  for (const Rebuilt& rebuilt : rows) {
    sqlite3_reset(update.get());
    sqlite3_clear_bindings(update.get());
    Row row(db(), update.get());
    row.blob(1, rebuilt.relPathCiphertext);
    row.blob(2, rebuilt.relPathNormCiphertext);
    row.text(3, rebuilt.blobKey);
    row.int64(4, rebuilt.sizeBytes);
    row.real(5, rebuilt.createdAt);
    row.real(6, rebuilt.modifiedAt);
    row.int64(7, rebuilt.contentID);
    row.int64(8, rebuilt.runID);
    row.int64(9, rebuilt.deleted ? 1 : 0);
    row.real(10, rebuilt.deleted ? std::optional<double>(rebuilt.ts) : std::nullopt);
    row.text(11, planID.rawValue());
    row.text(12, rebuilt.pathID);
    if (sqlite3_step(update.get()) != SQLITE_DONE) {
      throw catalogError("Failed to delete run: " + connection.sqliteMessage());
    }
  }
}

void BackupCatalog::Impl::insertEventRecord(std::int64_t runID, const PlanID& planID, const std::string& pathID,
                       const Bytes& relPathCiphertext, const Bytes& relPathNormCiphertext, const std::string& op,
                       const std::optional<std::string>& blobKey, std::optional<std::int64_t> sizeBytes,
                       std::optional<double> createdAt, std::optional<double> modifiedAt,
                       std::optional<std::int64_t> contentID, bool deleted, double ts, const std::string& failure) {
  Pooled pooled(*this, catalog_internal::kInsertEvent);
  Row row = pooled.row();
  row.int64(1, runID);
  row.text(2, planID.rawValue());
  row.text(3, pathID);
  row.blob(4, relPathCiphertext);
  row.blob(5, relPathNormCiphertext);
  row.text(6, op);
  row.text(7, blobKey);
  row.int64(8, sizeBytes);
  row.real(9, createdAt);
  row.real(10, modifiedAt);
  row.int64(11, contentID);
  row.int64(12, deleted ? 1 : 0);
  row.real(13, ts);
  pooled.stepDone(failure);
}

void BackupCatalog::Impl::removeBlobNowOrAfterCommit(const std::string& blobKey) {
  if (!RepositoryObjectKey::isBlobKey(blobKey)) return;  // never a path outside blobs/
  if (sqlite3_get_autocommit(db()) != 0) {
    BackupCatalogBlobStore::removeBlobIfExists(blobKey, rootURL);
  } else {
    blobRemovalsAfterCommit.push_back(blobKey);
  }
}
// ---------------------------------------------------------------- public writes

std::int64_t BackupCatalog::beginRun(const std::string& runUUID, const PlanID& planID, const std::string& sourceRoot,
                                     const std::string& destRoot, bool caseInsensitive,
                                     const std::string& hashAlgorithm, const std::optional<std::string>& engineVersion,
                                     const std::optional<std::string>& sourceVolumeUUID,
                                     const std::optional<std::string>& destVolumeUUID) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  const RepositoryPathCodec& codec = impl_->requirePathCodec();
  Bytes sourceCiphertext = codec.sealPath(sourceRoot);
  Bytes destCiphertext = codec.sealPath(destRoot);
  Impl::Pooled pooled(*impl_, catalog_internal::kBeginRun);
  Row row = pooled.row();
  row.text(1, runUUID);
  row.text(2, planID.rawValue());
  row.real(3, impl_->now());
  row.blob(4, sourceCiphertext);
  row.blob(5, destCiphertext);
  row.null(6);
  row.int64(7, caseInsensitive ? 1 : 0);
  row.text(8, hashAlgorithm);
  row.text(9, engineVersion);
  row.text(10, sourceVolumeUUID);
  row.text(11, destVolumeUUID);
  pooled.stepDone("Failed to insert run: ");
  return impl_->renumberPastDeletedRuns(sqlite3_last_insert_rowid(impl_->db()));
}

void BackupCatalog::finishRun(std::int64_t runID) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  Impl::Pooled pooled(*impl_, catalog_internal::kFinishRun);
  Row row = pooled.row();
  row.real(1, impl_->now());
  row.int64(2, runID);
  pooled.stepDone("Failed to finish run: ");
  if (sqlite3_changes(impl_->db()) == 0) throw catalogError("No run found with id " + std::to_string(runID));
}

void BackupCatalog::markRunFailed(std::int64_t runID, RunStatus status) {
  if (status != RunStatus::failed && status != RunStatus::cancelled) {
    throw catalogError("Only failed or cancelled runs can be marked with markRunFailed.");
  }
  std::lock_guard<std::mutex> lock(impl_->queue);
  Impl::Pooled pooled(*impl_, catalog_internal::kMarkRunFailed);
  Row row = pooled.row();
  row.real(1, impl_->now());
  row.text(2, runStatusName(status));
  row.int64(3, runID);
  pooled.stepDone("Failed to mark run " + runStatusName(status) + ": ");
  if (sqlite3_changes(impl_->db()) == 0) throw catalogError("No run found with id " + std::to_string(runID));
}

void BackupCatalog::deleteRun(const PlanID& planID, const std::string& runUUID) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  std::optional<std::int64_t> runID;
  {
    StatementHandle select = impl_->connection.prepareDynamic("SELECT id FROM runs WHERE plan_id = ? AND run_uuid = ?;",
                                                              "Failed to prepare deleteRun");
    Row row(impl_->db(), select.get());
    row.text(1, planID.rawValue());
    row.text(2, runUUID);
    const int rc = sqlite3_step(select.get());
    if (rc == SQLITE_ROW) {
      runID = row.columnInt64(0);
    } else if (rc != SQLITE_DONE) {
      throw catalogError("Failed to delete run: " + impl_->connection.sqliteMessage());
    }
  }
  if (!runID) return;

  // One unit whether or not the caller holds a transaction: the history is carried forward,
  // the current rows are rebuilt, the run's number is retired and the run goes, or nothing
  // changes.
  impl_->connection.exec("SAVEPOINT delete_run;");
  try {
    impl_->carryEventsForwardPast(planID, *runID);
    impl_->rebuildCurrentRowsSeenOnlyBy(planID, *runID);
    impl_->connection.exec(
        "CREATE TABLE IF NOT EXISTS deleted_runs (id INTEGER PRIMARY KEY, run_uuid TEXT NOT NULL, "
        "plan_id TEXT NOT NULL, deleted_at REAL NOT NULL);");
    {
      StatementHandle retire = impl_->connection.prepareDynamic(
          "INSERT OR REPLACE INTO deleted_runs (id, run_uuid, plan_id, deleted_at) VALUES (?, ?, ?, ?);",
          "Failed to prepare deleteRun");
      Row row(impl_->db(), retire.get());
      row.int64(1, *runID);
      row.text(2, runUUID);
      row.text(3, planID.rawValue());
      row.real(4, impl_->now());
      if (sqlite3_step(retire.get()) != SQLITE_DONE) {
        throw catalogError("Failed to delete run: " + impl_->connection.sqliteMessage());
      }
    }
    StatementHandle statement = impl_->connection.prepareDynamic("DELETE FROM runs WHERE plan_id = ? AND run_uuid = ?;",
                                                                 "Failed to prepare deleteRun");
    Row row(impl_->db(), statement.get());
    row.text(1, planID.rawValue());
    row.text(2, runUUID);
    if (sqlite3_step(statement.get()) != SQLITE_DONE) {
      throw catalogError("Failed to delete run: " + impl_->connection.sqliteMessage());
    }
    impl_->connection.exec("RELEASE delete_run;");
  } catch (...) {
    // The error that stopped the deletion is the one to report; undoing is best effort.
    impl_->connection.execRaw("ROLLBACK TO delete_run;");
    impl_->connection.execRaw("RELEASE delete_run;");
    throw;
  }
}

void BackupCatalog::upsertCurrent(const PlanID& planID, std::int64_t runID, const std::string& relPath,
                                  const std::string& relPathNorm, const std::string& blobKey, std::int64_t sizeBytes,
                                  std::optional<double> createdAt, double modifiedAt,
                                  std::optional<std::int64_t> contentID) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  Impl::EncryptedPathRecord record = impl_->encryptedPathRecord(relPath, relPathNorm);
  Impl::Pooled pooled(*impl_, catalog_internal::kUpsertCurrent);
  Row row = pooled.row();
  row.text(1, planID.rawValue());
  row.text(2, record.pathID);
  row.blob(3, record.relPathCiphertext);
  row.blob(4, record.relPathNormCiphertext);
  row.text(5, blobKey);
  row.int64(6, sizeBytes);
  row.real(7, createdAt);
  row.real(8, modifiedAt);
  row.int64(9, contentID);
  row.int64(10, runID);
  pooled.stepDone("Failed to upsert current: ");
}

void BackupCatalog::touchCurrent(const PlanID& planID, std::int64_t runID, const std::string& relPathNorm) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  std::string pathID = impl_->requirePathCodec().pathIDForNormalizedPath(relPathNorm);
  Impl::Pooled pooled(*impl_, catalog_internal::kTouchCurrent);
  Row row = pooled.row();
  row.int64(1, runID);
  row.text(2, planID.rawValue());
  row.text(3, pathID);
  pooled.stepDone("Failed to touch current: ");
  // A path the caller believes unchanged but that has no current row would drop out of
  // every later snapshot; say so instead of recording nothing.
  if (sqlite3_changes(impl_->db()) == 0) throw catalogError("No current file found for path ID " + pathID);
}

void BackupCatalog::insertEvent(std::int64_t runID, const PlanID& planID, const std::string& relPath,
                                const std::string& relPathNorm, const std::string& op,
                                const std::optional<std::string>& blobKey, std::optional<std::int64_t> sizeBytes,
                                std::optional<double> createdAt, std::optional<double> modifiedAt,
                                std::optional<std::int64_t> contentID, bool deleted) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  Impl::EncryptedPathRecord record = impl_->encryptedPathRecord(relPath, relPathNorm);
  impl_->insertEventRecord(runID, planID, record.pathID, record.relPathCiphertext, record.relPathNormCiphertext, op,
                           blobKey, sizeBytes, createdAt, modifiedAt, contentID, deleted, impl_->now(),
                           "Failed to insert event: ");
}

int BackupCatalog::sweepDeletionsAndRecordEvents(const PlanID& planID, std::int64_t runID) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  int count = 0;
  double sweepTime = impl_->now();
  {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(impl_->db(),
                           "SELECT path_id, rel_path_ciphertext, rel_path_norm_ciphertext, blob_key, size_bytes, "
                           "created_at, modified_at, content_id\n"
                           "FROM files_current\n"
                           "WHERE plan_id = ?1 AND deleted = 0 AND last_seen_run_id != ?2\n"
                           // A file this run found replaced by a folder gets no delete event
                           // after the folder's own: the folder's event says what happened.
                           "  AND NOT EXISTS (SELECT 1 FROM file_events AS e WHERE e.plan_id = ?1 AND e.run_id = ?2\n"
                           "                  AND e.path_id = files_current.path_id AND e.blob_key IS NULL);",
                           -1, &raw, nullptr) != SQLITE_OK) {
      sqlite3_finalize(raw);
      throw catalogError("Failed to prepare deletion sweep select: " + impl_->connection.sqliteMessage());
    }
    StatementHandle select(raw);
    Row row(impl_->db(), select.get());
    row.text(1, planID.rawValue());
    row.int64(2, runID);
    while (stepRow(impl_->db(), select.get(), "files for the deletion sweep")) {
      impl_->insertEventRecord(runID, planID, row.columnText(0), row.columnBlob(1), row.columnBlob(2), "delete",
                               row.optionalText(3), row.optionalInt64(4), row.optionalDouble(5), row.optionalDouble(6),
                               row.optionalInt64(7), true, sweepTime, "Failed to insert delete event: ");
      ++count;
    }
  }
  StatementHandle update = impl_->connection.prepareDynamic(
      "UPDATE files_current SET deleted = 1, deleted_at = ?, last_seen_run_id = ?\n"
      "WHERE plan_id = ? AND deleted = 0 AND last_seen_run_id != ?;",
      "Failed to prepare deletion sweep update");
  Row row(impl_->db(), update.get());
  row.real(1, sweepTime);
  row.int64(2, runID);
  row.text(3, planID.rawValue());
  row.int64(4, runID);
  if (sqlite3_step(update.get()) != SQLITE_DONE) {
    throw catalogError("Failed to mark deleted: " + impl_->connection.sqliteMessage());
  }
  return count;
}

int BackupCatalog::sweepDirectoryDeletionsAndRecordEvents(const PlanID& planID, std::int64_t runID,
                                                          const std::set<std::string>& seenRelPathNorms) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  const RepositoryPathCodec& codec = impl_->requirePathCodec();
  std::unordered_set<std::string> seenPathIDs;
  for (const std::string& path : seenRelPathNorms) seenPathIDs.insert(codec.pathIDForNormalizedPath(path));

  struct Missing {
    std::string pathID;
    Bytes relPathCiphertext;
    Bytes relPathNormCiphertext;
  };
  std::vector<Missing> missing;
  double sweepTime = impl_->now();
  // Nor a folder this run found replaced by a file.
  StatementHandle replaced = impl_->connection.prepareDynamic(
      "SELECT 1 FROM file_events WHERE plan_id = ?1 AND run_id = ?2 AND path_id = ?3 AND blob_key IS NOT NULL "
      "LIMIT 1;",
      "Failed to prepare directory deletion sweep");
  // Collected first: the events go into the table this query reads.
  catalog_internal::forEachLatestEvent(
      impl_->connection, planID.rawValue(), "blob_key IS NULL", "Failed to prepare directory deletion sweep", {},
      "Failed to read directories for the deletion sweep: ", [&](const LatestEvent*, const LatestEvent* directory) {
        if (!directory || directory->deleted || directory->op != "mkdir" || directory->runID == runID) return;
        if (seenPathIDs.count(directory->pathID) != 0) return;
        sqlite3_reset(replaced.get());
        Row row(impl_->db(), replaced.get());
        row.text(1, planID.rawValue());
        row.int64(2, runID);
        row.text(3, directory->pathID);
        if (stepRow(impl_->db(), replaced.get(), "directories for the deletion sweep")) return;
        missing.push_back({directory->pathID, directory->relPathCiphertext, directory->relPathNormCiphertext});
      });
  for (const Missing& item : missing) {
    impl_->insertEventRecord(runID, planID, item.pathID, item.relPathCiphertext, item.relPathNormCiphertext, "delete",
                             std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, true, sweepTime,
                             "Failed to insert directory delete event: ");
  }
  return static_cast<int>(missing.size());
}

void BackupCatalog::updateRunSummary(std::int64_t runID, const BackupRunSummary& summary) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  Impl::Pooled pooled(*impl_, catalog_internal::kUpdateRunSummary);
  Row row = pooled.row();
  row.int64(1, summary.filesTotalCount);
  row.int64(2, summary.filesTotalBytes);
  row.int64(3, summary.filesCopyCount);
  row.int64(4, summary.filesReplaceCount);
  row.int64(5, summary.filesSkippedCount);
  row.int64(6, summary.filesDeletedCount);
  row.int64(7, runID);
  pooled.stepDone("Failed to update run summary: ");
}

std::string BackupCatalog::writeSnapshotCheckpoint(const PlanID& planID, std::int64_t runID) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  std::optional<std::string> previousKey = impl_->selectCheckpointBlobKey(planID, runID);
  using Kinds = Impl::ManifestEntryKinds;
  const double createdAt = impl_->now();

  // Recorded directories first (the first per path), then the ancestors of the files that no
  // directory records, in file order, then the files. The blob header holds the text's size,
  // so the files are read twice: to measure the text and find the implied directories, then
  // to write it; only the directories are held. Both reads are one read of the catalog.
  impl_->connection.exec("SAVEPOINT checkpoint_read;");
  bool reading = true;
  std::string manifestKey;
  try {
    std::vector<SnapshotManifest::FileEntry> directories;
    std::unordered_set<std::string> recorded;
    std::vector<SnapshotManifest::FileEntry> implied;
    std::unordered_set<std::string> impliedPaths;
    std::uint64_t textSize = 0;
    SnapshotManifest::Writer measure(1, createdAt, [&](std::string_view text) { textSize += text.size(); });
    auto noteAncestors = [&](const SnapshotManifest::FileEntry& file) {
      // A folder is noted only after all its ancestors: a known parent means nothing new.
      const std::string_view norm = catalog_internal::trimSlashes(file.relPathNorm);
      const std::size_t slash = norm.rfind('/');
      if (slash == std::string_view::npos || impliedPaths.count(std::string(norm.substr(0, slash))) != 0) return;
      auto note = [&](const std::string& dirNorm, const std::string& dirDisplay) {
        if (impliedPaths.insert(dirNorm).second) implied.push_back({dirDisplay, dirNorm, "directory"});
      };
      catalog_internal::forEachAncestorDirectory(file.relPathNorm, file.relPath, note);
    };
    auto measureOrNote = [&](SnapshotManifest::FileEntry& entry, const std::string& text) {
      if (entry.kind == "directory") {
        if (recorded.insert(entry.relPathNorm).second) directories.push_back(std::move(entry));
        return;
      }
      measure.addText(text);
      noteAncestors(entry);
    };
    impl_->forEachLiveManifestEntry(planID, runID, Kinds::all, true, measureOrNote);
    impliedPaths = {};
    std::erase_if(implied, [&](const SnapshotManifest::FileEntry& directory) {
      return recorded.count(directory.relPathNorm) != 0;
    });
    recorded = {};
    for (const auto* list : {&directories, &implied}) {
      for (const SnapshotManifest::FileEntry& directory : *list) measure.add(directory);
    }
    measure.end();

    if (!impl_->repositoryKeyMaterial) throw catalogError(kNoCheckpointKeyMessage);
    const EncryptedBlobCodec codec(*impl_->repositoryKeyMaterial);
    manifestKey =
        BackupCatalogBlobStore::writeBlobStreamed(impl_->rootURL, [&](int fd, const std::filesystem::path& temporary) {
          auto produce = [&](const EncryptedBlobCodec::PlaintextSink& sink) {
            SnapshotManifest::Writer writer(1, createdAt, [&](std::string_view text) {
              sink(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
            });
            for (const auto* list : {&directories, &implied}) {
              for (const SnapshotManifest::FileEntry& directory : *list) writer.add(directory);
            }
            impl_->forEachLiveManifestEntry(
                planID, runID, Kinds::files, true,
                [&](SnapshotManifest::FileEntry&, const std::string& text) { writer.addText(text); });
            writer.end();
          };
          EncryptedBlobCodec::SealedStream sealed =
              codec.sealStream(textSize, produce, fd, temporary, EncryptedBlobCodec::parallelWorkerCount());
          // Ended before the blob goes into place, so a failure here leaves no blob either.
          impl_->connection.exec("RELEASE checkpoint_read;");
          reading = false;
          return sealed.blobSHA256;
        });
  } catch (...) {
    // The error that stopped the checkpoint is the one to report; the read is only ended.
    if (reading) {
      impl_->connection.execRaw("ROLLBACK TO checkpoint_read;");
      impl_->connection.execRaw("RELEASE checkpoint_read;");
    }
    throw;
  }

  {
    Impl::Pooled pooled(*impl_, catalog_internal::kInsertCheckpoint);
    Row row = pooled.row();
    row.text(1, planID.rawValue());
    row.int64(2, runID);
    row.text(3, manifestKey);
    row.real(4, impl_->now());
    if (pooled.step() != SQLITE_DONE) {
      std::string message = "Failed to insert checkpoint: " + impl_->connection.sqliteMessage();
      BackupCatalogBlobStore::removeBlobIfExists(manifestKey, impl_->rootURL);
      throw catalogError(message);
    }
  }

  if (previousKey && *previousKey != manifestKey) {
    std::set<std::string> stillReferenced = impl_->checkpointBlobKeys();
    if (stillReferenced.count(*previousKey) == 0) impl_->removeBlobNowOrAfterCommit(*previousKey);
  }
  return manifestKey;
}

}  // namespace tvr
