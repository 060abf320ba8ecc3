#include "tools/tvr-writer/RepositoryWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <set>
#include <unordered_map>
#include <unordered_set>

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
    result.clearedPartialRunBlobs =
        BackupRunStateStore::deleteRemoteObjectsForPartialRun(options.repository, options.planID, blobs);
  } catch (const Error&) {
    // A damaged journal names nothing reliable to delete; clearPartialRun still removes it.
    result.clearedPartialRunUUID = result.clearedPartialRunUUID.value_or("(unreadable journal)");
  }
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

  // Plan: which items are operations, and of which kind.
  struct Operation {
    const SourceItem* item;
    std::string kind;  // "mkdir", "copy", "replace"
    std::string blobKey;
  };
  std::vector<Operation> operations;
  std::vector<const SourceItem*> unchanged;
  std::set<std::string> seenDirectories;
  for (const SourceItem& item : items) {
    if (item.isDirectory) {
      ++result.directoriesTotal;
      seenDirectories.insert(item.relPathNorm);
      if (!liveDirectories.count(item.relPathNorm)) operations.push_back({&item, "mkdir", {}});
      continue;
    }
    ++result.filesTotal;
    result.bytesTotal += item.size;
    std::string blobKey = codec.blobKeyForFile(item.url, {});
    auto previous = current.find(item.relPathNorm);
    bool known = previous != current.end() && !previous->second.deleted;
    bool same = known && previous->second.blobKey == blobKey && previous->second.relPath == item.relPath &&
                previous->second.modifiedAt == item.modifiedAt && previous->second.createdAt == item.createdAt;
    if (same) {
      unchanged.push_back(&item);
    } else {
      operations.push_back({&item, known ? "replace" : "copy", blobKey});
    }
  }

  std::string runUUID = newUUIDString();
  result.runID = catalog.withTransaction([&] {
    return catalog.beginRun(runUUID, options.planID, fs::absolute(options.source).string(),
                            fs::absolute(options.repository).string(), options.caseInsensitive, "hmac-sha256",
                            std::string(kEngineVersion), std::nullopt, std::nullopt);
  });
  BackupRunStateStore::writeInitial(BackupRunStateStore::Record::started(runUUID, options.planID, nowUnixSeconds(),
                                                                         static_cast<std::int64_t>(operations.size())),
                                    options.repository, options.planID);

  BlobStoreSession blobs(options.repository, blobBackend);
  blobs.ensureRoot();
  BackupRunSummary summary;
  catalog.withTransaction([&] {
    std::int64_t completed = 0;
    for (const Operation& op : operations) {
      const SourceItem& item = *op.item;
      std::optional<RepositoryObjectWriteResult::Status> blobStatus;
      if (op.kind == "mkdir") {
        catalog.insertEvent(result.runID, options.planID, item.relPath, item.relPathNorm, "mkdir", std::nullopt,
                            std::nullopt, item.createdAt, item.modifiedAt, std::nullopt, false);
        ++result.directoriesNew;
      } else {
        BlobWriteResult written = blobs.ensureEncryptedBlobPresent(item.url, op.blobKey, codec, result.warnings);
        blobStatus = written.alreadyPresent ? RepositoryObjectWriteResult::Status::skippedExisting
                                            : RepositoryObjectWriteResult::Status::written;
        ++(written.alreadyPresent ? result.blobsAlreadyStored : result.blobsWritten);
        summary.blobsWrittenCount += written.alreadyPresent ? 0 : 1;
        summary.blobsSkippedCount += written.alreadyPresent ? 1 : 0;
        summary.bytesWritten += written.alreadyPresent ? 0 : written.byteCount;
        catalog.upsertCurrent(options.planID, result.runID, item.relPath, item.relPathNorm, op.blobKey, item.size,
                              item.createdAt, item.modifiedAt, std::nullopt);
        catalog.insertEvent(result.runID, options.planID, item.relPath, item.relPathNorm, op.kind, op.blobKey,
                            item.size, item.createdAt, item.modifiedAt, std::nullopt, false);
        ++(op.kind == "copy" ? result.filesCopied : result.filesReplaced);
      }
      BackupRunStateStore::recordCompleted(options.repository, options.planID, item.relPath, op.kind,
                                           op.kind == "mkdir" ? std::nullopt : std::optional<std::string>(op.blobKey),
                                           blobStatus);
      ++completed;
      if (options.interruptAfterOperations && completed >= *options.interruptAfterOperations) {
        ::_exit(75);  // as a kill would: nothing committed, nothing cleaned up
      }
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
  });
  if (options.writeCheckpoint) {
    result.checkpointBlobKey = catalog.writeSnapshotCheckpoint(options.planID, result.runID);
  }
  BackupRunStateStore::clear(options.repository, options.planID);
  return result;
}

}  // namespace tvr::tools
