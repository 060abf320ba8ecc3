#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include "engine/catalog/BackupCatalog.h"
#include "engine/catalog/CatalogImpl.h"
#include "engine/catalog/SnapshotPaths.h"
#include "engine/crypto/EncryptedBlobCodec.h"
#include "engine/storage/BackupCatalogBlobStore.h"
#include "engine/storage/RepositoryObjectKey.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/ParallelFor.h"

namespace tvr {

namespace fs = std::filesystem;
using catalog_internal::catalogError;
using catalog_internal::HistoryRow;
using catalog_internal::LatestEvent;
using catalog_internal::Row;
using catalog_internal::StatementHandle;
using catalog_internal::stepRow;
using catalog_internal::trimSlashes;

namespace {

// The event that puts a path into the run's snapshot: the newest event of each kind is live
// when it is no deletion (and, for a folder, a "mkdir"); a path live as both kinds (a run that
// changed its kind records no delete for the other kind) shows the kind of its newer event.
const LatestEvent* liveEvent(const LatestEvent* file, const LatestEvent* directory) {
  if (file && file->deleted) file = nullptr;
  if (directory && (directory->deleted || directory->op != "mkdir")) directory = nullptr;
  if (file && directory) {
    bool directoryIsNewer =
        directory->runID > file->runID || (directory->runID == file->runID && directory->id > file->id);
    return directoryIsNewer ? directory : file;
  }
  return file ? file : directory;
}

// The live event of every path of the run's snapshot with its rank (the place of its path
// among the live paths in path-id order), in table order. Reading in path-id order costs one
// table seek per event (a page read each: the rows of a path are spread over the whole
// table); this reads the table twice in storage order and the path index once without
// touching the table: the kinds and deletions of the events, then the newest event of each
// kind per path from the index, then the rows of the live ones. Returns false, having
// visited nothing, when the catalog does not lend itself to that (a read that fails, as on a
// damaged page the run itself may never reach): the caller then reads in path-id order.
// Errors once visiting has begun: catalogError(stepFailure + the SQLite message).
template <class Visit>
bool forEachLiveEventInTableOrder(catalog_internal::BackupCatalogSQLiteConnection& connection, const PlanID& planID,
                                  std::int64_t runID, const std::string& stepFailure, Visit&& visit) {
  // One read transaction, so the three reads see one catalog.
  if (connection.execRaw("SAVEPOINT snapshot_scan;") != SQLITE_OK) return false;
  struct Release {
    catalog_internal::BackupCatalogSQLiteConnection& connection;
    ~Release() { connection.execRaw("RELEASE snapshot_scan;"); }
  } release{connection};

  const std::string filter = "FROM file_events NOT INDEXED WHERE plan_id = ?1 AND run_id <= ?2";

  // The events of the run's snapshot by id, each with what decides which one counts.
  enum : std::uint8_t { kFolder = 1, kDeleted = 2, kMakesFolder = 4 };
  std::vector<std::int64_t> ids;
  std::vector<std::uint8_t> flags;
  {
    StatementHandle statement = connection.tryPrepare("SELECT id, blob_key IS NULL, deleted, op " + filter + ";");
    if (!statement) return false;
    Row row(connection.db, statement.get());
    row.text(1, planID.rawValue());
    row.int64(2, runID);
    int rc;
    while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
      const std::int64_t id = row.columnInt64(0);
      if (!ids.empty() && id <= ids.back()) return false;
      ids.push_back(id);
      flags.push_back(static_cast<std::uint8_t>((row.columnInt64(1) != 0 ? kFolder : 0) |
                                                (row.columnInt64(2) != 0 ? kDeleted : 0) |
                                                (row.textView(3) == "mkdir" ? kMakesFolder : 0)));
    }
    if (rc != SQLITE_DONE || ids.size() > std::numeric_limits<std::uint32_t>::max()) return false;
  }

  ids.shrink_to_fit();
  flags.shrink_to_fit();

  // The live event of each path, by the rule of forEachLatestEvent and liveEvent: its rank,
  // kept by the event's place in `ids`.
  constexpr std::uint32_t kNotLive = std::numeric_limits<std::uint32_t>::max();
  std::vector<std::uint32_t> ranks(ids.size(), kNotLive);
  std::uint32_t liveCount = 0;
  {
    StatementHandle statement = connection.tryPrepare(
        "SELECT path_id, run_id, id FROM file_events WHERE plan_id = ?1 AND +run_id <= ?2 "
        "ORDER BY path_id, run_id, id;");
    if (!statement) return false;
    Row row(connection.db, statement.get());
    row.text(1, planID.rawValue());
    row.int64(2, runID);
    LatestEvent newest[2];
    std::size_t positions[2] = {0, 0};
    bool seen[2] = {false, false};
    std::string currentPath;
    auto flush = [&] {
      const LatestEvent* live = liveEvent(seen[0] ? &newest[0] : nullptr, seen[1] ? &newest[1] : nullptr);
      if (live) ranks[positions[live == &newest[0] ? 0 : 1]] = liveCount++;
      seen[0] = seen[1] = false;
    };
    int rc;
    bool any = false;
    while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
      const std::string_view pathID = row.textView(0);
      if (!any || pathID != currentPath) {
        if (any) flush();
        currentPath.assign(pathID);
        any = true;
      }
      const std::int64_t id = row.columnInt64(2);
      const auto at = std::lower_bound(ids.begin(), ids.end(), id);
      if (at == ids.end() || *at != id) return false;
      const auto position = static_cast<std::size_t>(at - ids.begin());
      const int kind = (flags[position] & kFolder) ? 1 : 0;
      LatestEvent& event = newest[kind];
      event.runID = row.columnInt64(1);
      event.id = id;
      event.deleted = (flags[position] & kDeleted) != 0;
      event.op = (flags[position] & kMakesFolder) ? "mkdir" : "";
      positions[kind] = position;
      seen[kind] = true;
    }
    if (rc != SQLITE_DONE) return false;
    if (any) flush();
  }
  flags = {};

  StatementHandle statement =
      connection.tryPrepare(std::string("SELECT ") + catalog_internal::kLatestEventColumns + " " + filter + ";");
  if (!statement) return false;
  Row row(connection.db, statement.get());
  row.text(1, planID.rawValue());
  row.int64(2, runID);
  LatestEvent event;
  std::size_t position = 0;
  std::uint32_t visited = 0;
  int rc = SQLITE_DONE;
  while (visited < liveCount && (rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
    const std::int64_t id = row.columnInt64(12);
    while (position < ids.size() && ids[position] < id) ++position;
    if (position == ids.size() || ids[position] != id || ranks[position] == kNotLive) continue;
    readLatestEvent(row, event);
    visit(event, ranks[position]);
    ++visited;
  }
  if (visited < liveCount) {
    if (rc != SQLITE_DONE) throw catalogError(stepFailure + connection.sqliteMessage());
    throw catalogError(stepFailure + "the catalog changed while it was read");
  }
  return true;
}

// The live events of the run's snapshot, gathered in batches whose paths `open` decrypts on
// every core; each batch is handed on in query order, so the items come out as from one
// thread, errors included: a failing step of the query passes only once the items read
// before it are opened and handed on. `take(live, rank, item)` records what the item needs of
// a live event (false skips the event); `hand(item)` uses the opened item, on this thread.
// With `anyOrder` the events may come in table order (forEachLiveEventInTableOrder), and
// `rank` tells each one's place in path-id order; otherwise they come in that order.
//
// The query runs on a thread of its own, a few batches ahead: stepping SQLite and opening
// and handing the batches before it then share the cores instead of taking turns. The
// caller holds the catalog's lock throughout, so nothing else uses the connection
// meanwhile; `take` runs on the query's thread.
template <class Item, class Take, class Open, class Hand>
void forEachOpenedLiveEvent(catalog_internal::BackupCatalogSQLiteConnection& connection, const PlanID& planID,
                            std::int64_t runID, const std::string& prepareFailure, bool anyOrder, Take&& take,
                            Open&& open, Hand&& hand) {
  constexpr std::size_t kBatchSize = 4096;
  // One being filled, one waiting, one being opened and handed on.
  constexpr std::size_t kBatchCount = 3;
  struct Batch {
    std::vector<Item> items;
    std::size_t used = 0;
  };
  std::vector<Batch> batches(kBatchCount);
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Batch*> free;
  std::deque<Batch*> ready;
  for (Batch& batch : batches) free.push_back(&batch);
  bool queryDone = false;
  bool stopping = false;
  std::exception_ptr queryError;
  struct Stopped {};

  std::thread query([&] {
    Batch* filling = nullptr;
    auto publish = [&] {
      std::lock_guard<std::mutex> lock(mutex);
      ready.push_back(filling);
      filling = nullptr;
      changed.notify_all();
    };
    auto add = [&](const LatestEvent& live, std::uint32_t rank) {
      if (!filling) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return stopping || !free.empty(); });
        if (stopping) throw Stopped{};
        filling = free.front();
        free.pop_front();
        filling->used = 0;
      }
      std::vector<Item>& items = filling->items;
      if (filling->used == items.size()) items.emplace_back();
      if (!take(live, rank, items[filling->used])) return;
      if (++filling->used == kBatchSize) publish();
    };
    try {
      const std::string stepFailure = "Failed to read snapshot of run " + std::to_string(runID) + ": ";
      if (!anyOrder || !forEachLiveEventInTableOrder(connection, planID, runID, stepFailure, add)) {
        std::uint32_t rank = 0;
        catalog_internal::forEachLatestEvent(
            connection, planID.rawValue(), catalog_internal::kSnapshotScope, prepareFailure,
            [&](Row& row) { row.int64(2, runID); }, stepFailure,
            [&](const LatestEvent* file, const LatestEvent* directory) {
              if (const LatestEvent* live = liveEvent(file, directory)) add(*live, rank++);
            });
      }
    } catch (const Stopped&) {
    } catch (...) {
      queryError = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (filling && filling->used > 0 && !stopping) ready.push_back(filling);
    queryDone = true;
    changed.notify_all();
  });

  std::exception_ptr handError;
  try {
    for (;;) {
      Batch* batch = nullptr;
      {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return queryDone || !ready.empty(); });
        if (ready.empty()) break;
        batch = ready.front();
        ready.pop_front();
      }
      parallelFor(batch->used, [&](std::size_t i) { open(batch->items[i]); });
      for (std::size_t i = 0; i < batch->used; ++i) hand(batch->items[i]);
      std::lock_guard<std::mutex> lock(mutex);
      free.push_back(batch);
      changed.notify_all();
    }
  } catch (...) {
    handError = std::current_exception();
    std::lock_guard<std::mutex> lock(mutex);
    stopping = true;
    changed.notify_all();
  }
  query.join();
  if (handError) std::rethrow_exception(handError);
  if (queryError) std::rethrow_exception(queryError);
}

}  // namespace

// ---------------------------------------------------------------- Impl reads

void BackupCatalog::Impl::requireRestorableRun(const PlanID& planID, std::int64_t runID) {
  StatementHandle statement = connection.prepareDynamic("SELECT status FROM runs WHERE plan_id = ? AND id = ? LIMIT 1;",
                                                        "Failed to prepare restorable run check");
  Row row(db(), statement.get());
  row.text(1, planID.rawValue());
  row.int64(2, runID);
  if (!stepRow(db(), statement.get(), "run " + std::to_string(runID))) {
    throw catalogError("No run " + std::to_string(runID) + " found for plan " + planID.rawValue() + ".");
  }
  std::string status = row.columnText(0);
  if (runStatusFromName(status) == RunStatus::completed) return;
  throw catalogError("Run " + std::to_string(runID) + " is " + status + " and cannot be used for restore.");
}

std::optional<std::string> BackupCatalog::Impl::selectCheckpointBlobKey(const PlanID& planID, std::int64_t runID) {
  Pooled pooled(*this, catalog_internal::kSelectCheckpoint);
  Row row = pooled.row();
  row.text(1, planID.rawValue());
  row.int64(2, runID);
  if (!stepRow(db(), pooled.statement(), "checkpoint")) return std::nullopt;
  return row.columnText(0);
}

std::shared_ptr<const SnapshotIndex> BackupCatalog::Impl::cachedSnapshotIndex(const PlanID& planID,
                                                                              std::int64_t runID,
                                                                              std::optional<std::string>& manifestKey,
                                                                              std::string& cacheKey) {
  manifestKey = selectCheckpointBlobKey(planID, runID);
  if (!manifestKey) return nullptr;
  cacheKey = rootURL.string() + "|" + planID.rawValue() + "|" + std::to_string(runID) + "|" + *manifestKey;
  return BackupCatalogSnapshotIndexCache::shared().get(cacheKey);
}

SnapshotManifest BackupCatalog::Impl::readManifest(std::int64_t runID, const std::string& manifestKey,
                                                   const std::function<bool(const SnapshotManifest::FileEntry&)>& keep) {
  if (!repositoryKeyMaterial) throw catalogError(kNoCheckpointKeyMessage);
  // The key comes from the database: never let it name a path outside blobs/.
  if (!RepositoryObjectKey::isBlobKey(manifestKey)) {
    throw catalogError("Checkpoint manifest key " + manifestKey + " of run " + std::to_string(runID) +
                       " is not a valid blob key.");
  }
  // Streamed: each chunk is authenticated before its bytes are parsed, so a hostile file never
  // gets read whole, and a manifest link is not followed out of the repository.
  fs::path manifestPath = BackupCatalogBlobStore::blobPath(manifestKey, rootURL);
  OpenFile file = openRegularFileForReading(manifestPath, false);
  const EncryptedBlobCodec codec(*repositoryKeyMaterial);
  return SnapshotManifest::decodeStreamed(
      [&](const SnapshotManifest::TextSink& sink) {
        codec.openStream(file.get(), manifestPath, [&](const std::uint8_t* data, std::size_t size) {
          sink(reinterpret_cast<const char*>(data), size);
        });
      },
      keep);
}

std::shared_ptr<const SnapshotIndex> BackupCatalog::Impl::snapshotIndex(const PlanID& planID, std::int64_t runID) {
  std::optional<std::string> manifestKey;
  std::string cacheKey;
  if (auto cached = cachedSnapshotIndex(planID, runID, manifestKey, cacheKey)) return cached;
  if (!manifestKey) return nullptr;
  // Each entry goes into the compact index as it is decoded; none is kept as such.
  SnapshotIndex::ManifestBuilder builder;
  readManifest(runID, *manifestKey, [&](const SnapshotManifest::FileEntry& entry) {
    builder.add(entry);
    return false;
  });
  return BackupCatalogSnapshotIndexCache::shared().insertIfAbsent(cacheKey, builder.finish());
}

std::shared_ptr<const SnapshotIndex> BackupCatalog::Impl::checkpointIndexFor(const PlanID& planID,
                                                                             std::int64_t runID,
                                                                             std::string_view path,
                                                                             bool includingPath) {
  std::optional<std::string> manifestKey;
  std::string cacheKey;
  if (auto cached = cachedSnapshotIndex(planID, runID, manifestKey, cacheKey)) return cached;
  if (!manifestKey) return nullptr;
  if (path.empty() && !includingPath) return snapshotIndex(planID, runID);
  // The entries below the path decide everything the answer holds: the path's children and
  // their implied folders, names and dates (the newest date below), and the path's own entry.
  const std::string below = path.empty() ? std::string() : std::string(path) + "/";
  SnapshotIndex::ManifestBuilder builder;
  readManifest(runID, *manifestKey, [&](const SnapshotManifest::FileEntry& entry) {
    std::string_view norm = trimSlashes(entry.relPathNorm);
    if ((includingPath && norm == path) || (!below.empty() && norm.starts_with(below))) builder.add(entry);
    return false;
  });
  return builder.finish();
}

void BackupCatalog::Impl::forEachLatestHistoryRow(const PlanID& planID, std::int64_t runID, const std::string& prefix,
                                                  const std::function<void(const HistoryRow&)>& visit) {
  const RepositoryPathCodec& codec = requirePathCodec();
  struct Pending {
    Bytes relPathCiphertext, relPathNormCiphertext;
    HistoryRow row;
    bool matches = false;
  };
  forEachOpenedLiveEvent<Pending>(
      connection, planID, runID, "Failed to prepare listSnapshotChildren", true,
      [&](const LatestEvent& live, std::uint32_t rank, Pending& item) {
        item.relPathCiphertext = live.relPathCiphertext;
        item.relPathNormCiphertext = live.relPathNormCiphertext;
        item.row = HistoryRow();
        item.row.rank = rank;
        item.row.op = live.op;
        item.row.blobKey = live.blobKey;
        item.row.sizeBytes = catalog_internal::shownSize(live.sizeBytes);
        item.row.createdAt = catalog_internal::shownDate(live.createdAt);
        item.row.modifiedAt = catalog_internal::shownDate(live.modifiedAt);
        return true;
      },
      [&](Pending& item) {
        item.row.relPathNorm = codec.openPath(item.relPathNormCiphertext);
        item.matches = item.row.relPathNorm.starts_with(prefix);
        if (item.matches) item.row.relPath = codec.openPath(item.relPathCiphertext);
      },
      [&](Pending& item) {
        if (item.matches) visit(item.row);
      });
}

std::optional<SnapshotEntry> BackupCatalog::Impl::historyFileEntry(const PlanID& planID, std::int64_t runID,
                                                                   const std::string& relPathNorm) {
  const RepositoryPathCodec& codec = requirePathCodec();
  std::string trimmed(trimSlashes(relPathNorm));
  std::string pathID = codec.pathIDForNormalizedPath(trimmed);
  std::optional<HistoryRow> found;
  catalog_internal::forEachLatestEvent(
      connection, planID.rawValue(), catalog_internal::kSnapshotPathScope, "Failed to prepare snapshotFileEntry",
      [&](Row& row) {
        row.int64(2, runID);
        row.text(3, pathID);
      },
      "Failed to read snapshot entry of " + trimmed + ": ",
      [&](const LatestEvent* file, const LatestEvent* directory) {
        const LatestEvent* live = liveEvent(file, directory);
        if (!live) return;
        HistoryRow item;
        item.relPath = codec.openPath(live->relPathCiphertext);
        item.relPathNorm = codec.openPath(live->relPathNormCiphertext);
        item.op = live->op;
        item.blobKey = live->blobKey;
        item.sizeBytes = catalog_internal::shownSize(live->sizeBytes);
        item.createdAt = catalog_internal::shownDate(live->createdAt);
        item.modifiedAt = catalog_internal::shownDate(live->modifiedAt);
        found = std::move(item);
      });
  if (!found) return std::nullopt;
  return catalog_internal::historyFileEntry(*found);
}

std::set<std::string> BackupCatalog::Impl::checkpointBlobKeys() {
  StatementHandle statement =
      connection.prepareDynamic("SELECT manifest_blob_key FROM checkpoints WHERE manifest_blob_key IS NOT NULL;",
                                "Failed to prepare checkpointBlobKeys");
  Row row(db(), statement.get());
  std::set<std::string> keys;
  while (stepRow(db(), statement.get(), "checkpoint blob keys")) keys.insert(row.columnText(0));
  return keys;
}

void BackupCatalog::Impl::forEachLiveManifestEntry(
    const PlanID& planID, std::int64_t runID, ManifestEntryKinds kinds, bool withText,
    const std::function<void(SnapshotManifest::FileEntry& entry, const std::string& text)>& visit) {
  const RepositoryPathCodec& codec = requirePathCodec();
  struct Pending {
    Bytes relPathCiphertext, relPathNormCiphertext;
    SnapshotManifest::FileEntry entry;
    std::string text;
  };
  forEachOpenedLiveEvent<Pending>(
      connection, planID, runID,
      kinds == ManifestEntryKinds::directories ? "Failed to prepare snapshotDirectoryEntries"
                                               : "Failed to prepare snapshotFileManifestEntries",
      false, [&](const LatestEvent& live, std::uint32_t, Pending& item) {
        if (live.isFile() ? kinds == ManifestEntryKinds::directories : kinds == ManifestEntryKinds::files) {
          return false;
        }
        item.relPathCiphertext = live.relPathCiphertext;
        item.relPathNormCiphertext = live.relPathNormCiphertext;
        SnapshotManifest::FileEntry& entry = item.entry;
        if (live.isFile()) {
          entry.kind = "file";
          entry.blobKey = live.blobKey;
          entry.sizeBytes = catalog_internal::shownSize(live.sizeBytes);
          entry.createdAt = catalog_internal::shownDate(live.createdAt);
          entry.modifiedAt = catalog_internal::shownDate(live.modifiedAt);
          entry.contentID = live.contentID;
        } else {
          entry = SnapshotManifest::FileEntry();
          entry.kind = "directory";
        }
        return true;
      },
      [&](Pending& item) {
        item.entry.relPath = codec.openPath(item.relPathCiphertext);
        item.entry.relPathNorm = codec.openPath(item.relPathNormCiphertext);
        if (withText) item.text = SnapshotManifest::Writer::entryText(item.entry);
      },
      [&](Pending& item) { visit(item.entry, item.text); });
}

std::vector<SnapshotManifest::FileEntry> BackupCatalog::Impl::liveManifestEntries(const PlanID& planID,
                                                                                  std::int64_t runID,
                                                                                  bool directories) {
  std::vector<SnapshotManifest::FileEntry> entries;
  forEachLiveManifestEntry(
      planID, runID, directories ? ManifestEntryKinds::directories : ManifestEntryKinds::files, false,
      [&](SnapshotManifest::FileEntry& entry, const std::string&) { entries.push_back(std::move(entry)); });
  return entries;
}

// ---------------------------------------------------------------- public reads

std::vector<RunInfo> BackupCatalog::listRuns(const PlanID& planID, bool includeIncomplete) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  std::string sql =
      "SELECT id, plan_id, run_uuid, started_at, finished_at, files_total_count, files_total_bytes, "
      "files_copy_count, files_replace_count, files_skipped_count, files_deleted_count, status FROM runs "
      "WHERE plan_id = ? ";
  if (!includeIncomplete) sql += "AND status = 'completed'";
  sql += "\nORDER BY started_at ASC;";
  StatementHandle statement = impl_->connection.prepareDynamic(sql, "Failed to prepare listRuns");
  Row row(impl_->db(), statement.get());
  row.text(1, planID.rawValue());
  std::vector<RunInfo> runs;
  while (stepRow(impl_->db(), statement.get(), "runs of plan " + planID.rawValue())) {
    RunInfo info;
    info.id = row.columnInt64(0);
    info.planID = PlanID(row.columnText(1));
    info.runUUID = row.columnText(2);
    info.startedAt = row.columnDouble(3);
    info.finishedAt = row.optionalDouble(4);
    info.filesTotalCount = row.optionalInt(5);
    info.filesTotalBytes = row.optionalSize(6);
    info.filesCopyCount = row.optionalInt(7);
    info.filesReplaceCount = row.optionalInt(8);
    info.filesSkippedCount = row.optionalInt(9);
    info.filesDeletedCount = row.optionalInt(10);
    info.status = runStatusFromName(row.columnText(11));
    runs.push_back(std::move(info));
  }
  return runs;
}

void BackupCatalog::requireRestorableRun(const PlanID& planID, std::int64_t runID) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  impl_->requireRestorableRun(planID, runID);
}

std::vector<SnapshotEntry> BackupCatalog::listSnapshotChildren(const PlanID& planID, std::int64_t runID,
                                                               const std::optional<std::string>& directoryRelPathNorm) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  impl_->requireRestorableRun(planID, runID);
  impl_->requirePathCodec();
  std::string requested = directoryRelPathNorm.value_or("");
  std::string_view directory = trimSlashes(requested);
  if (auto index = impl_->checkpointIndexFor(planID, runID, directory, false)) return index->children(directory);
  std::string prefix = directory.empty() ? std::string() : std::string(directory) + "/";
  catalog_internal::HistoryChildren children(directory);
  impl_->forEachLatestHistoryRow(planID, runID, prefix, [&](const HistoryRow& row) { children.add(row); });
  return children.finish();
}

std::optional<SnapshotEntry> BackupCatalog::snapshotFileEntry(const PlanID& planID, std::int64_t runID,
                                                              const std::string& relPathNorm) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  impl_->requireRestorableRun(planID, runID);
  impl_->requirePathCodec();
  if (auto index = impl_->checkpointIndexFor(planID, runID, trimSlashes(relPathNorm), true)) {
    return index->fileEntry(relPathNorm);
  }
  return impl_->historyFileEntry(planID, runID, relPathNorm);
}

std::shared_ptr<const SnapshotIndex> BackupCatalog::loadSnapshot(const PlanID& planID, std::int64_t runID) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  impl_->requireRestorableRun(planID, runID);
  impl_->requirePathCodec();
  if (auto index = impl_->snapshotIndex(planID, runID)) return index;
  catalog_internal::HistorySnapshotBuilder builder;
  impl_->forEachLatestHistoryRow(planID, runID, {}, [&](const HistoryRow& row) { builder.add(row); });
  return builder.finish();
}

std::vector<RunFileEvent> BackupCatalog::listRunFileEvents(const PlanID& planID, std::int64_t runID) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  const RepositoryPathCodec& codec = impl_->requirePathCodec();
  StatementHandle statement = impl_->connection.prepareDynamic(
      "SELECT rel_path_ciphertext, rel_path_norm_ciphertext, op, blob_key, size_bytes, created_at, modified_at, "
      "deleted\n"
      "FROM file_events\n"
      "WHERE plan_id = ? AND run_id = ?\n"
      "ORDER BY rel_path_norm_ciphertext ASC;",
      "Failed to prepare listRunFileEvents");
  Row row(impl_->db(), statement.get());
  row.text(1, planID.rawValue());
  row.int64(2, runID);
  std::vector<RunFileEvent> events;
  while (stepRow(impl_->db(), statement.get(), "events of run " + std::to_string(runID))) {
    RunFileEvent event;
    event.relPath = codec.openPath(row.columnBlob(0));
    event.relPathNorm = codec.openPath(row.columnBlob(1));
    event.operation = row.columnText(2);
    event.blobKey = row.optionalText(3);
    event.sizeBytes = row.optionalInt64(4);
    event.createdAt = row.optionalDouble(5);
    event.modifiedAt = row.optionalDouble(6);
    event.deleted = row.columnInt64(7) != 0;
    events.push_back(std::move(event));
  }
  return events;
}

std::unordered_map<std::string, CurrentFileEntry> BackupCatalog::loadCurrentIndex(const PlanID& planID) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  const RepositoryPathCodec& codec = impl_->requirePathCodec();
  StatementHandle statement = impl_->connection.prepareDynamic(
      "SELECT rel_path_ciphertext, rel_path_norm_ciphertext, blob_key, size_bytes, created_at, modified_at, "
      "content_id, last_seen_run_id, deleted\n"
      "FROM files_current\n"
      "WHERE plan_id = ?;",
      "Failed to prepare loadCurrentIndex");
  Row row(impl_->db(), statement.get());
  row.text(1, planID.rawValue());
  std::unordered_map<std::string, CurrentFileEntry> index;
  while (stepRow(impl_->db(), statement.get(), "current files of plan " + planID.rawValue())) {
    CurrentFileEntry entry;
    entry.relPath = codec.openPath(row.columnBlob(0));
    entry.relPathNorm = codec.openPath(row.columnBlob(1));
    entry.blobKey = row.columnText(2);
    entry.sizeBytes = row.columnInt64(3);
    entry.createdAt = row.optionalDouble(4);
    entry.modifiedAt = row.columnDouble(5);
    entry.contentID = row.optionalInt64(6);
    entry.lastSeenRunID = row.columnInt64(7);
    entry.deleted = row.columnInt64(8) != 0;
    std::string key = entry.relPathNorm;
    index.insert_or_assign(std::move(key), std::move(entry));
  }
  return index;
}

std::set<std::string> BackupCatalog::checkpointBlobKeys() {
  std::lock_guard<std::mutex> lock(impl_->queue);
  return impl_->checkpointBlobKeys();
}

namespace {
// Each table read straight, no UNION: a key may come more than once, nothing is collected.
constexpr const char* kReferencedBlobKeysStreamedSQL =
    "SELECT blob_key FROM files_current WHERE blob_key IS NOT NULL\n"
    "UNION ALL\n"
    "SELECT blob_key FROM file_events WHERE blob_key IS NOT NULL\n"
    "UNION ALL\n"
    "SELECT manifest_blob_key FROM checkpoints WHERE manifest_blob_key IS NOT NULL;";
}  // namespace

std::set<std::string> BackupCatalog::referencedBlobKeys() {
  std::set<std::string> keys;
  forEachReferencedBlobKey([&](std::string_view key) { keys.emplace(key); });
  return keys;
}

void BackupCatalog::forEachReferencedBlobKey(const std::function<void(std::string_view)>& visit) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  StatementHandle statement =
      impl_->connection.prepareDynamic(kReferencedBlobKeysStreamedSQL, "Failed to prepare referencedBlobKeys");
  Row row(impl_->db(), statement.get());
  while (stepRow(impl_->db(), statement.get(), "referenced blob keys")) visit(row.textView(0));
}

std::optional<bool> BackupCatalog::runIsCaseInsensitive(const PlanID& planID, std::int64_t runID) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  StatementHandle statement = impl_->connection.prepareDynamic(
      "SELECT case_insensitive FROM runs WHERE plan_id = ? AND id = ?;", "Failed to prepare runIsCaseInsensitive");
  Row row(impl_->db(), statement.get());
  row.text(1, planID.rawValue());
  row.int64(2, runID);
  if (sqlite3_step(statement.get()) != SQLITE_ROW) return std::nullopt;
  return row.columnInt64(0) != 0;
}

std::optional<std::string> BackupCatalog::selectCheckpointBlobKey(const PlanID& planID, std::int64_t runID) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  return impl_->selectCheckpointBlobKey(planID, runID);
}

std::shared_ptr<const SnapshotIndex> BackupCatalog::snapshotIndex(const PlanID& planID, std::int64_t runID) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  return impl_->snapshotIndex(planID, runID);
}

std::vector<SnapshotManifest::FileEntry> BackupCatalog::snapshotFileManifestEntries(const PlanID& planID,
                                                                                    std::int64_t runID) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  return impl_->liveManifestEntries(planID, runID, false);
}

std::vector<SnapshotManifest::FileEntry> BackupCatalog::snapshotDirectoryEntries(const PlanID& planID,
                                                                                 std::int64_t runID) {
  std::lock_guard<std::mutex> lock(impl_->queue);
  return impl_->liveManifestEntries(planID, runID, true);
}

}  // namespace tvr
