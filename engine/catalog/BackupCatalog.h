#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/crypto/RepositoryKeyMaterial.h"
#include "engine/metadata/PlanID.h"

namespace tvr {

// Every catalog error has this domain, code 1 and a complete sentence as message.
inline constexpr const char* kBackupCatalogErrorDomain = "BackupCatalog.SQLiteErrorDomain";

// Status of a run as stored in runs.status. Only `completed` runs are restorable.
enum class RunStatus { running, completed, failed, cancelled };

// "running", "completed", "failed", "cancelled".
std::string runStatusName(RunStatus status);
// The stored text back to a status; any other text reads as no status.
std::optional<RunStatus> runStatusFromName(std::string_view name);
inline bool isRestorable(RunStatus status) { return status == RunStatus::completed; }

// One run row. Dates are Unix-epoch seconds.
struct RunInfo {
  std::int64_t id = 0;
  PlanID planID;
  std::string runUUID;
  double startedAt = 0;
  std::optional<double> finishedAt;
  std::optional<RunStatus> status;  // absent for a stored text outside the four names
  std::optional<int> filesTotalCount;
  std::optional<std::int64_t> filesTotalBytes;
  std::optional<int> filesCopyCount;
  std::optional<int> filesReplaceCount;
  std::optional<int> filesSkippedCount;
  std::optional<int> filesDeletedCount;

  bool operator==(const RunInfo&) const = default;
};

enum class SnapshotKind { file, directory };
std::string snapshotKindName(SnapshotKind kind);  // "file", "directory"

// One child in a directory listing, or one looked-up file of a run's snapshot.
struct SnapshotEntry {
  std::string id;           // "d:" + relPathNorm for a directory, "f:" + relPathNorm for a file
  std::string name;         // last component of the display path
  std::string relPath;      // display relative path as found on disk
  std::string relPathNorm;  // normalised relative path, no leading or trailing "/"
  SnapshotKind kind = SnapshotKind::file;
  std::optional<std::int64_t> sizeBytes;
  std::optional<double> createdAt;   // Unix-epoch seconds
  std::optional<double> modifiedAt;  // Unix-epoch seconds
  std::optional<std::string> blobKey;

  bool operator==(const SnapshotEntry&) const = default;
};

// One event a run recorded (file_events row, decrypted).
struct RunFileEvent {
  std::string relPath;
  std::string relPathNorm;
  std::string operation;  // the op column: "mkdir", "delete" or the run engine's file operation
  std::optional<std::string> blobKey;
  std::optional<std::int64_t> sizeBytes;
  std::optional<double> createdAt;
  std::optional<double> modifiedAt;
  bool deleted = false;

  bool operator==(const RunFileEvent&) const = default;
};

// One files_current row, decrypted.
struct CurrentFileEntry {
  std::string relPath;
  std::string relPathNorm;
  std::string blobKey;
  std::int64_t sizeBytes = 0;
  std::optional<double> createdAt;
  double modifiedAt = 0;
  std::optional<std::int64_t> contentID;
  std::int64_t lastSeenRunID = 0;
  bool deleted = false;

  bool operator==(const CurrentFileEntry&) const = default;
};

// The run engine's counters; only the first six are stored in the catalog.
struct BackupRunSummary {
  std::int64_t filesTotalCount = 0;
  std::int64_t filesTotalBytes = 0;
  std::int64_t filesCopyCount = 0;
  std::int64_t filesReplaceCount = 0;
  std::int64_t filesSkippedCount = 0;
  std::int64_t filesDeletedCount = 0;
  std::int64_t blobsWrittenCount = 0;
  std::int64_t blobsSkippedCount = 0;
  std::int64_t bytesWritten = 0;
};

// The checkpoint manifest of a run: every live file and directory of its snapshot, with
// plaintext paths; stored as one encrypted blob. In memory dates are Unix-epoch seconds; the
// JSON form carries them as seconds since 2001-01-01 00:00:00 UTC.
struct SnapshotManifest {
  struct FileEntry {
    std::string relPath;
    std::string relPathNorm;
    std::string kind = "file";  // "file" or "directory"; absent in JSON reads as "file"
    std::optional<std::string> blobKey;
    std::optional<std::int64_t> sizeBytes;
    std::optional<double> createdAt;
    std::optional<double> modifiedAt;
    std::optional<std::int64_t> contentID;

    bool operator==(const FileEntry&) const = default;
  };

  std::int64_t version = 1;
  double createdAt = 0;
  std::vector<FileEntry> files;

  // JSON bytes (canonical form) of the manifest.
  std::string toJSON() const;
  // Decodes the JSON form; a syntax error, a missing required key or a wrong type throws
  // tvr::Error (domain "SnapshotManifest", code 1) naming the problem.
  static SnapshotManifest fromJSON(std::string_view json);

  bool operator==(const SnapshotManifest&) const = default;
};

// An immutable in-memory snapshot of one run: the children of every directory, already
// sorted, and the lookup of files by normalised path. Shared freely between threads and
// catalogs (always held by shared_ptr<const SnapshotIndex>).
//
// Two ways to get one:
//  - fromManifest: the checkpoint index (what listSnapshotChildren/snapshotFileEntry use for a
//    run with a checkpoint). `fileEntry` knows files only.
//  - BackupCatalog::loadSnapshot(planID, runID): the whole run in ONE pass, from the checkpoint
//    when the run has one, otherwise from one history query. Its `children` and `fileEntry`
//    give exactly what listSnapshotChildren and snapshotFileEntry give for the same run (the
//    same children, order, names and directory dates; for a run without checkpoint,
//    `fileEntry` of a live directory path gives a file-kind entry without blob key, as the
//    SQL lookup does).
//
// Example (restore reader, export of a whole run):
//   auto snapshot = catalog.loadSnapshot(plan, runID);
//   std::function<void(const std::string&)> walk = [&](const std::string& dir) {
//     for (const SnapshotEntry& child : snapshot->children(dir)) {
//       if (child.kind == SnapshotKind::directory) walk(child.relPathNorm); else export(child);
//     }
//   };
//   walk("");
//   auto entry = snapshot->fileEntry("documents/report.pdf");  // one file (hold `snapshot`
//                                                              // while using the pointer)
// Enumerate files by walking `children` as above: for a run without checkpoint,
// filesByRelNorm also holds the live recorded directories (entries without blob key), just
// as snapshotFileEntry answers for them. Building from history decrypts every live path of
// the run once (about 2 s of CPU for 100,000 files); the checkpoint index is cached.
class SnapshotIndex {
 public:
  using ChildrenMap = std::unordered_map<std::string, std::vector<SnapshotEntry>>;
  using FilesMap = std::unordered_map<std::string, SnapshotEntry>;

  SnapshotIndex(ChildrenMap childrenByDirectory, FilesMap filesByRelNorm)
      : childrenByDirectory_(std::move(childrenByDirectory)), filesByRelNorm_(std::move(filesByRelNorm)) {}

  // Builds the checkpoint index: implied directories, directory dates and sort order as
  // the checkpoint rules say (directories first, then files, each by name in Finder order).
  static std::shared_ptr<const SnapshotIndex> fromManifest(const SnapshotManifest& manifest);

  // Children of a directory ("/" trimmed from both ends; nullopt or "" is the top level);
  // an unknown directory gives an empty list.
  const std::vector<SnapshotEntry>& children(std::optional<std::string_view> directory) const;
  // The entry of a path ("/" trimmed from both ends), or null.
  const SnapshotEntry* fileEntry(std::string_view relPathNorm) const;

  const ChildrenMap& childrenByDirectory() const noexcept { return childrenByDirectory_; }
  const FilesMap& filesByRelNorm() const noexcept { return filesByRelNorm_; }

 private:
  ChildrenMap childrenByDirectory_;
  FilesMap filesByRelNorm_;
};

// The repository's SQLite catalog (catalog.sqlite under the root): runs and per-run file
// events of every plan, with every path stored encrypted.
//
// Ownership: owns its SQLite connection and its nine prepared statements; closes them when
// destroyed. Movable, not copyable.
// Thread-safety: every public operation holds the catalog's own mutex for its whole body, so
// one catalog may be used from several threads. `withTransaction` runs its body outside the
// mutex (the body calls the catalog's operations); do not call it from inside such a body.
// Errors: tvr::Error with domain kBackupCatalogErrorDomain, code 1 and the messages of the
// catalog; errors of the repository metadata gate, the path codec, the blob codec and the
// file system pass through unchanged.
class BackupCatalog {
 public:
  enum class OpenMode { readOnly, readWrite, createOrOpenForWrite };

  static constexpr const char* kCatalogFileName = "catalog.sqlite";
  static constexpr int kSupportedSchemaVersion = 1;
  static constexpr int kBusyTimeoutMilliseconds = 10000;

  // Opens the catalog of the repository at `root` after the repository read gate. Only
  // createOrOpenForWrite creates the file or installs the schema. readOnly never changes a
  // file of the repository: it opens SQLite read-only, and a catalog left with a rollback
  // journal (copied mid-backup) is read through a private rolled-back copy. Every mode uses
  // SQLite's defensive settings, as the file comes from untrusted storage. Without key material
  // only listRuns, the blob-key queries and the run-state writes that need no path work.
  BackupCatalog(const std::filesystem::path& root, const std::optional<RepositoryKeyMaterial>& repositoryKeyMaterial,
                OpenMode mode);
  ~BackupCatalog();
  BackupCatalog(BackupCatalog&&) noexcept;
  BackupCatalog& operator=(BackupCatalog&&) noexcept;
  BackupCatalog(const BackupCatalog&) = delete;
  BackupCatalog& operator=(const BackupCatalog&) = delete;

  const std::filesystem::path& rootURL() const;
  bool hasKeyMaterial() const;

  // --- Transactions: "BEGIN IMMEDIATE;", "COMMIT;", "ROLLBACK;".
  void beginTransaction();
  void commitTransaction();
  void rollbackTransaction();

  // Runs `body` inside one immediate transaction and returns its result. A body or commit
  // error rolls back and is rethrown unchanged (also when SQLite already rolled back on its
  // own, as after a full disk); when the rollback fails too the error is
  // "Failed to rollback transaction after error: " + the rollback error's message.
  template <class Body>
  auto withTransaction(Body&& body) -> std::invoke_result_t<Body&> {
    using Result = std::invoke_result_t<Body&>;
    beginTransaction();
    std::exception_ptr failure;
    try {
      if constexpr (std::is_void_v<Result>) {
        body();
        commitTransaction();
        return;
      } else {
        Result result = body();
        commitTransaction();
        return result;
      }
    } catch (...) {
      failure = std::current_exception();
    }
    rollbackAfterError(failure);
  }

  // --- Read side.
  // Runs of the plan ordered by start time; only completed ones unless includeIncomplete.
  std::vector<RunInfo> listRuns(const PlanID& planID, bool includeIncomplete);
  // Whether the run's paths were normalised case-insensitively; none for an unknown run.
  std::optional<bool> runIsCaseInsensitive(const PlanID& planID, std::int64_t runID);
  // Fails with "No run N found for plan P." or "Run N is <status> and cannot be used for restore.".
  void requireRestorableRun(const PlanID& planID, std::int64_t runID);
  // Children of a directory at the run (directories first); checkpoint index or history.
  std::vector<SnapshotEntry> listSnapshotChildren(const PlanID& planID, std::int64_t runID,
                                                  const std::optional<std::string>& directoryRelPathNorm);
  std::optional<SnapshotEntry> snapshotFileEntry(const PlanID& planID, std::int64_t runID,
                                                 const std::string& relPathNorm);
  // Events of one run, ordered by normalised-path ciphertext.
  std::vector<RunFileEvent> listRunFileEvents(const PlanID& planID, std::int64_t runID);
  // files_current of the plan by decrypted normalised path.
  std::unordered_map<std::string, CurrentFileEntry> loadCurrentIndex(const PlanID& planID);
  std::set<std::string> checkpointBlobKeys();
  // Every content and manifest blob key the catalog mentions (the verifier's reference set).
  std::set<std::string> referencedBlobKeys();
  // SQLite's structural check of every page and index ("PRAGMA quick_check;"): the first
  // problem it reports, or none for a sound catalog.
  std::optional<std::string> structuralProblem();

  std::optional<std::string> selectCheckpointBlobKey(const PlanID& planID, std::int64_t runID);
  // The checkpoint index of the run (process-wide cache of 8), or null without checkpoint.
  std::shared_ptr<const SnapshotIndex> snapshotIndex(const PlanID& planID, std::int64_t runID);
  // The whole snapshot of a restorable run in one pass (see SnapshotIndex). Requires key
  // material. Never runs one query per directory.
  std::shared_ptr<const SnapshotIndex> loadSnapshot(const PlanID& planID, std::int64_t runID);
  // Manifest entries of the run's live files / live "mkdir" directories (checkpoint writer).
  std::vector<SnapshotManifest::FileEntry> snapshotFileManifestEntries(const PlanID& planID, std::int64_t runID);
  std::vector<SnapshotManifest::FileEntry> snapshotDirectoryEntries(const PlanID& planID, std::int64_t runID);

  // --- Write side (normally inside withTransaction, catalog opened createOrOpenForWrite).
  std::int64_t beginRun(const std::string& runUUID, const PlanID& planID, const std::string& sourceRoot,
                        const std::string& destRoot, bool caseInsensitive, const std::string& hashAlgorithm,
                        const std::optional<std::string>& engineVersion,
                        const std::optional<std::string>& sourceVolumeUUID,
                        const std::optional<std::string>& destVolumeUUID);
  void finishRun(std::int64_t runID);
  // `status` must be failed or cancelled.
  void markRunFailed(std::int64_t runID, RunStatus status);
  // Deleting a run that does not exist succeeds. The run's events that the plan's next run
  // does not supersede become the next run's (so later snapshots do not change); its other
  // events and its checkpoint go. The current rows it was last to see are rebuilt from the
  // remaining history (a recorded deletion stays deleted); rows with no other history go.
  // Its number is retired: beginRun never hands it out again.
  void deleteRun(const PlanID& planID, const std::string& runUUID);
  void upsertCurrent(const PlanID& planID, std::int64_t runID, const std::string& relPath,
                     const std::string& relPathNorm, const std::string& blobKey, std::int64_t sizeBytes,
                     std::optional<double> createdAt, double modifiedAt, std::optional<std::int64_t> contentID);
  // Fails with "No current file found for path ID " + path ID when the plan has no such row.
  void touchCurrent(const PlanID& planID, std::int64_t runID, const std::string& relPathNorm);
  void insertEvent(std::int64_t runID, const PlanID& planID, const std::string& relPath, const std::string& relPathNorm,
                   const std::string& op, const std::optional<std::string>& blobKey,
                   std::optional<std::int64_t> sizeBytes, std::optional<double> createdAt,
                   std::optional<double> modifiedAt, std::optional<std::int64_t> contentID, bool deleted);
  // Files the run did not see: a "delete" event each, then marked deleted. Returns the count.
  int sweepDeletionsAndRecordEvents(const PlanID& planID, std::int64_t runID);
  // Live "mkdir" directories of earlier runs missing from `seenRelPathNorms`: a "delete"
  // event each. Returns the count.
  int sweepDirectoryDeletionsAndRecordEvents(const PlanID& planID, std::int64_t runID,
                                             const std::set<std::string>& seenRelPathNorms);
  void updateRunSummary(std::int64_t runID, const BackupRunSummary& summary);
  // Writes the run's manifest blob and checkpoint row; removes a superseded manifest blob
  // that no checkpoint refers to any more. Returns the manifest blob key.
  std::string writeSnapshotCheckpoint(const PlanID& planID, std::int64_t runID);

  struct Impl;

 private:
  [[noreturn]] void rollbackAfterError(std::exception_ptr failure);
  std::unique_ptr<Impl> impl_;
};

// The process-wide cache of checkpoint indexes (8 entries, least recently used dropped).
// Thread-safe. Keys: root path + "|" + plan id + "|" + run id + "|" + manifest blob key.
class BackupCatalogSnapshotIndexCache {
 public:
  static constexpr std::size_t kCountLimit = 8;
  static BackupCatalogSnapshotIndexCache& shared();

  std::shared_ptr<const SnapshotIndex> get(const std::string& key);
  // Stores `index` unless an entry exists; returns the entry that is stored afterwards.
  std::shared_ptr<const SnapshotIndex> insertIfAbsent(const std::string& key,
                                                      std::shared_ptr<const SnapshotIndex> index);
  void removeAll();
  std::size_t count();

 private:
  struct State;
  BackupCatalogSnapshotIndexCache();
  std::shared_ptr<State> state_;
};

}  // namespace tvr
