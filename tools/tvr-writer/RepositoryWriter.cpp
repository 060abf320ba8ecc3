#include "tools/tvr-writer/RepositoryWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <exception>
#include <functional>
#include <limits>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "engine/backup/BackupRunJournal.h"
#include "engine/backup/BackupRunStateStore.h"
#include "engine/backup/BlobStoreSession.h"
#include "engine/catalog/BackupCatalog.h"
#include "engine/crypto/EncryptedBlobCodec.h"
#include "engine/crypto/RecoveryKeyWrapping.h"
#include "engine/crypto/RepositoryPathCodec.h"
#include "engine/metadata/RepositoryMetadata.h"
#include "engine/metadata/RepositoryPlanIndex.h"
#include "engine/storage/LocalRepositoryStorageBackend.h"
#include "platform/Error.h"
#include "platform/Iso8601.h"
#include "platform/SecureRandom.h"

namespace tvr::tools {

namespace fs = std::filesystem;

namespace {

constexpr const char* kEngineVersion = "tvr-writer 1";
constexpr std::int64_t kParallelSealingThreshold = 4 * 1024 * 1024;

// Runs `work(index)` for indexes 0..count-1 on `threads` threads, at most a window ahead of
// the consumer, which takes the results in index order. The first failure stops the pool
// and is rethrown by `take` of its index. Joins its threads when dropped.
template <typename Result>
class OrderedWorkPool {
 public:
  OrderedWorkPool(std::size_t count, unsigned threads, std::function<Result(std::size_t)> work)
      : work_(std::move(work)), slots_(count), window_(4 * static_cast<std::size_t>(threads) + 4) {
    for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { run(); });
  }
  ~OrderedWorkPool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    for (std::thread& thread : threads_) thread.join();
  }

  Result take(std::size_t index) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return slots_[index].done; });
    taken_ = index + 1;
    changed_.notify_all();
    if (slots_[index].failure) std::rethrow_exception(slots_[index].failure);
    return std::move(*slots_[index].result);
  }

 private:
  struct Slot {
    std::optional<Result> result;
    std::exception_ptr failure;
    bool done = false;
  };

  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return stopping_ || next_ >= slots_.size() || next_ < taken_ + window_; });
      if (stopping_ || next_ >= slots_.size()) return;
      const std::size_t index = next_++;
      lock.unlock();
      std::optional<Result> result;
      std::exception_ptr failure;
      try {
        result = work_(index);
      } catch (...) {
        failure = std::current_exception();
      }
      lock.lock();
      slots_[index].result = std::move(result);
      slots_[index].failure = failure;
      slots_[index].done = true;
      // After a failure no new work starts; what runs finishes.
      if (failure) stopping_ = true;
      changed_.notify_all();
    }
  }

  std::function<Result(std::size_t)> work_;
  std::vector<Slot> slots_;
  std::size_t window_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t next_ = 0;
  std::size_t taken_ = 0;
  bool stopping_ = false;
};

struct SourceItem {
  std::string relPath;      // as found on disk, "/"-separated
  std::string relPathNorm;  // normalised for the plan
  fs::path url;
  bool isDirectory = false;
  std::int64_t size = 0;
  std::optional<double> createdAt;
  double modifiedAt = 0;
};

double seconds(const struct statx_timestamp& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Size and dates without following a final link; birth time where the file system keeps it.
bool statItem(const fs::path& url, SourceItem& item, bool& isRegular, bool& isDirectory) {
  struct statx st;
  if (::statx(AT_FDCWD, url.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &st) != 0) {
    throw PosixError("statx", errno, url.string());
  }
  isRegular = S_ISREG(st.stx_mode);
  isDirectory = S_ISDIR(st.stx_mode);
  item.size = static_cast<std::int64_t>(st.stx_size);
  item.modifiedAt = seconds(st.stx_mtime);
  if (st.stx_mask & STATX_BTIME) item.createdAt = seconds(st.stx_btime);
  return true;
}

// Every directory and regular file below `source`, in a stable order (by path). Symbolic
// links are not followed and, like other special files, not backed up: they are reported.
std::vector<SourceItem> scanSource(const fs::path& source, const fs::path& repository, bool caseInsensitive,
                                   std::vector<std::string>& skipped) {
  std::error_code ec;
  fs::path repositoryReal = fs::weakly_canonical(repository, ec);
  std::vector<SourceItem> items;
  std::vector<std::pair<fs::path, std::string>> pending{{source, ""}};
  while (!pending.empty()) {
    auto [directory, prefix] = pending.back();
    pending.pop_back();
    std::vector<fs::directory_entry> entries;
    for (auto it = fs::directory_iterator(directory); it != fs::directory_iterator(); ++it) entries.push_back(*it);
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.path().filename() < b.path().filename(); });
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
      const fs::path& url = it->path();
      std::string relPath = prefix.empty() ? url.filename().string() : prefix + "/" + url.filename().string();
      if (!repositoryReal.empty() && fs::weakly_canonical(url, ec) == repositoryReal) {
        skipped.push_back(relPath + " (the repository itself)");
        continue;
      }
      SourceItem item;
      item.relPath = relPath;
      item.relPathNorm = normalizedRelPath(relPath, caseInsensitive);
      item.url = url;
      bool isRegular = false, isDirectory = false;
      statItem(url, item, isRegular, isDirectory);
      if (isDirectory) {
        item.isDirectory = true;
        items.push_back(item);
        pending.emplace_back(url, relPath);
      } else if (isRegular) {
        items.push_back(item);
      } else {
        skipped.push_back(relPath);
      }
    }
  }
  std::sort(items.begin(), items.end(), [](const SourceItem& a, const SourceItem& b) { return a.relPath < b.relPath; });
  return items;
}

RepositoryKeyMaterial openOrCreateRepository(const RepositoryWriterOptions& options) {
  std::optional<RepositoryMetadata> existing = RepositoryMetadata::read(options.repository);
  if (existing) {
    if (!existing->encryption || !existing->encryption->recoveryWrappedKey) {
      throw platformError("RepositoryWriter",
                          "The repository holds no recovery-wrapped key; this writer only "
                          "writes encrypted repositories.");
    }
    RepositoryKeyMaterial key =
        RecoveryKeyWrapping::unwrap(*existing->encryption->recoveryWrappedKey, options.recoveryPassword);
    RepositoryMetadata::ensureWritableRepository(options.repository, existing->encryption);
    return key;
  }
  RepositoryKeyMaterial key = RepositoryKeyMaterial::random();
  RepositoryEncryptionMetadata encryption;
  encryption.version = 1;
  encryption.blobAlgorithm = "AES-256-GCM";
  encryption.compressionAlgorithm = "LZFSE";
  encryption.keyDerivationAlgorithm = "HKDF-SHA256";
  encryption.recoveryWrappedKey = RecoveryKeyWrapping::wrap(key, options.recoveryPassword);
  RepositoryMetadata::ensureWritableRepository(options.repository, encryption);
  return key;
}

// A journal left by an interrupted run: its uploaded blobs that no catalog row references
// are deleted from the blob store, then its catalog rows, the journal and the staging folder.
void clearInterruptedRun(const RepositoryWriterOptions& options, RepositoryStorageBackend& blobs,
                         RepositoryWriterResult& result) {
  if (!BackupRunStateStore::exists(options.repository, options.planID)) return;
  try {
    result.clearedPartialRunUUID = BackupRunStateStore::activeRunUUID(options.repository, options.planID);
  } catch (const std::exception& e) {
    // Guessing would leave rows or blobs behind for good: the person decides.
    throw platformError("RepositoryWriter",
                        "The journal of an interrupted run, " +
                            BackupRunStateStore::journalURL(options.repository, options.planID).string() +
                            ", cannot be read (" + e.what() +
                            "); nothing was cleaned up. Inspect it, or move it aside to go on.");
  }
  result.clearedPartialRunBlobs =
      BackupRunStateStore::deleteRemoteObjectsForPartialRun(options.repository, options.planID, blobs);
  BackupRunStateStore::clearPartialRun(options.repository, options.planID);
}

}  // namespace

RepositoryWriterResult writeRun(const RepositoryWriterOptions& options) {
  if (!fs::is_directory(options.source)) {
    throw platformError("RepositoryWriter", "Source folder " + options.source.string() + " is not a directory.");
  }
  RepositoryWriterResult result;
  RepositoryKeyMaterial key = openOrCreateRepository(options);

  RepositoryPlanSettings settings;
  settings.scheduleFrequency = "manual";
  settings.scheduleMode = "manual";
  settings.powerPolicy = "any";
  settings.networkPolicy = "any";
  RepositoryPlanIndex::registerPlan(options.planID,
                                    options.planName.empty() ? options.planID.rawValue() : options.planName,
                                    fs::absolute(options.source).string(), fs::absolute(options.repository).string(),
                                    settings, key, options.repository);

  std::shared_ptr<RepositoryStorageBackend> blobBackend = options.blobBackend;
  std::shared_ptr<RepositoryStorageBackend> localBackend =
      std::make_shared<LocalRepositoryStorageBackend>(options.repository);
  clearInterruptedRun(options, blobBackend ? *blobBackend : *localBackend, result);

  std::vector<SourceItem> items =
      scanSource(options.source, options.repository, options.caseInsensitive, result.skippedPaths);
  EncryptedBlobCodec codec(key);
  BackupCatalog catalog(options.repository, key, BackupCatalog::OpenMode::createOrOpenForWrite);
  std::unordered_map<std::string, CurrentFileEntry> current = catalog.loadCurrentIndex(options.planID);
  std::unordered_set<std::string> liveDirectories;
  for (const auto& entry : catalog.snapshotDirectoryEntries(options.planID, std::numeric_limits<std::int64_t>::max())) {
    liveDirectories.insert(entry.relPathNorm);
  }

  // Plan: which items are operations, and of which kind. A path seen before is read to tell
  // unchanged contents apart; a new path's key is learnt while it is sealed.
  struct Operation {
    const SourceItem* item;
    std::string kind;  // "mkdir", "copy", "replace"
    std::optional<std::string> plannedKey;
  };
  std::vector<Operation> operations;
  std::vector<const SourceItem*> unchanged;
  std::set<std::string> seenDirectories;
  for (const SourceItem& item : items) {
    if (item.isDirectory) {
      ++result.directoriesTotal;
      seenDirectories.insert(item.relPathNorm);
      if (!liveDirectories.count(item.relPathNorm)) operations.push_back({&item, "mkdir", std::nullopt});
      continue;
    }
    ++result.filesTotal;
    result.bytesTotal += item.size;
    auto previous = current.find(item.relPathNorm);
    bool known = previous != current.end() && !previous->second.deleted;
    if (!known) {
      operations.push_back({&item, "copy", std::nullopt});
      continue;
    }
    std::string blobKey = codec.blobKeyForFile(item.url, {});
    bool same = previous->second.blobKey == blobKey && previous->second.relPath == item.relPath &&
                previous->second.modifiedAt == item.modifiedAt && previous->second.createdAt == item.createdAt;
    if (same) {
      unchanged.push_back(&item);
    } else {
      operations.push_back({&item, "replace", blobKey});
    }
  }
  if (options.afterPlanning) options.afterPlanning();

  std::string runUUID = newUUIDString();
  result.runID = catalog.withTransaction([&] {
    return catalog.beginRun(runUUID, options.planID, fs::absolute(options.source).string(),
                            fs::absolute(options.repository).string(), options.caseInsensitive, "hmac-sha256",
                            std::string(kEngineVersion), std::nullopt, std::nullopt);
  });
  const unsigned workers = options.workers != 0 ? options.workers : std::max(1u, std::thread::hardware_concurrency());
  {
    BackupRunJournal journal(options.repository, options.planID,
                             BackupRunStateStore::Record::started(runUUID, options.planID, nowUnixSeconds(),
                                                                  static_cast<std::int64_t>(operations.size())));
    BlobStoreSession blobs(options.repository, blobBackend);
    blobs.ensureRoot();

    // An interrupted run stops after exactly that many operations, like a kill at that point.
    const std::size_t count =
        options.interruptAfterOperations
            ? std::min(operations.size(),
                       static_cast<std::size_t>(std::max<std::int64_t>(0, *options.interruptAfterOperations)))
            : operations.size();
    struct Outcome {
      BlobWriteResult blob;
      std::vector<BackupWarning> warnings;
    };
    OrderedWorkPool<Outcome> pool(count, workers, [&](std::size_t index) {
      const Operation& op = operations[index];
      const SourceItem& item = *op.item;
      Outcome outcome;
      if (op.kind == "mkdir") {
        journal.recordCompleted(item.relPath, op.kind, std::nullopt, std::nullopt);
        return outcome;
      }
      // Large files are sealed chunk by chunk on every core; small ones one per worker.
      const unsigned sealingThreads = item.size > kParallelSealingThreshold ? workers : 1;
      outcome.blob = op.plannedKey ? blobs.ensureEncryptedBlobPresent(item.url, *op.plannedKey, codec, outcome.warnings,
                                                                      CancellationToken::none(), sealingThreads)
                                   : blobs.ensureEncryptedBlobPresent(item.url, codec, outcome.warnings,
                                                                      CancellationToken::none(), sealingThreads);
      // Journalled as soon as the blob is stored, so an interruption forgets no stored blob.
      journal.recordCompleted(item.relPath, op.kind, outcome.blob.blobKey,
                              outcome.blob.alreadyPresent ? RepositoryObjectWriteResult::Status::skippedExisting
                                                          : RepositoryObjectWriteResult::Status::written);
      return outcome;
    });

    BackupRunSummary summary;
    catalog.withTransaction([&] {
      for (std::size_t index = 0; index < count; ++index) {
        Outcome outcome = pool.take(index);
        const Operation& op = operations[index];
        const SourceItem& item = *op.item;
        result.warnings.insert(result.warnings.end(), outcome.warnings.begin(), outcome.warnings.end());
        if (op.kind == "mkdir") {
          catalog.insertEvent(result.runID, options.planID, item.relPath, item.relPathNorm, "mkdir", std::nullopt,
                              std::nullopt, item.createdAt, item.modifiedAt, std::nullopt, false);
          ++result.directoriesNew;
          continue;
        }
        const BlobWriteResult& written = outcome.blob;
        ++(written.alreadyPresent ? result.blobsAlreadyStored : result.blobsWritten);
        summary.blobsWrittenCount += written.alreadyPresent ? 0 : 1;
        summary.blobsSkippedCount += written.alreadyPresent ? 1 : 0;
        summary.bytesWritten += written.alreadyPresent ? 0 : written.byteCount;
        // What was stored is what is recorded, also when the file changed after planning;
        // its planning-time dates make the next run look at it again.
        if (written.contentChanged || written.plaintextSize != item.size) ++result.filesChangedWhileStored;
        result.bytesTotal += written.plaintextSize - item.size;
        catalog.upsertCurrent(options.planID, result.runID, item.relPath, item.relPathNorm, written.blobKey,
                              written.plaintextSize, item.createdAt, item.modifiedAt, std::nullopt);
        catalog.insertEvent(result.runID, options.planID, item.relPath, item.relPathNorm, op.kind, written.blobKey,
                            written.plaintextSize, item.createdAt, item.modifiedAt, std::nullopt, false);
        ++(op.kind == "copy" ? result.filesCopied : result.filesReplaced);
      }
      if (options.interruptAfterOperations) {
        journal.synchronize();
        ::_exit(75);  // as a kill would: nothing committed, nothing cleaned up
      }
      for (const SourceItem* item : unchanged) catalog.touchCurrent(options.planID, result.runID, item->relPathNorm);
      result.filesUnchanged = static_cast<std::int64_t>(unchanged.size());
      result.filesDeleted = catalog.sweepDeletionsAndRecordEvents(options.planID, result.runID);
      result.directoriesDeleted =
          catalog.sweepDirectoryDeletionsAndRecordEvents(options.planID, result.runID, seenDirectories);
      summary.filesTotalCount = result.filesTotal;
      summary.filesTotalBytes = result.bytesTotal;
      summary.filesCopyCount = result.filesCopied;
      summary.filesReplaceCount = result.filesReplaced;
      summary.filesSkippedCount = result.filesUnchanged;
      summary.filesDeletedCount = result.filesDeleted;
      catalog.updateRunSummary(result.runID, summary);
      catalog.finishRun(result.runID);
      // Every blob these rows reference is journalled durably before they are committed.
      journal.synchronize();
    });
  }
  if (options.writeCheckpoint) {
    result.checkpointBlobKey = catalog.writeSnapshotCheckpoint(options.planID, result.runID);
  }
  BackupRunStateStore::clear(options.repository, options.planID);
  std::error_code ec;
  // Sealing stages blobs there; an empty staging folder is not kept (a non-empty one is
  // left for the next cleanup).
  fs::remove(options.repository / BlobStoreSession::kStagingFolderName, ec);
  return result;
}

}  // namespace tvr::tools
