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

#include "engine/catalog/CatalogRecords.h"
#include "engine/catalog/SnapshotIndex.h"
#include "engine/catalog/SnapshotManifest.h"
#include "engine/crypto/RepositoryKeyMaterial.h"
#include "engine/metadata/PlanID.h"

namespace tvr {

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
  //
  // `clock` gives the Unix-epoch seconds stamped on runs, events and checkpoints; empty means
  // the system clock (tests pass a fixed one).
  using Clock = std::function<double()>;
  BackupCatalog(const std::filesystem::path& root, const std::optional<RepositoryKeyMaterial>& repositoryKeyMaterial,
                OpenMode mode, Clock clock = {});
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
  // The same keys streamed from SQLite, each at least once, in no particular order and
  // without collecting them; the view is valid during the call only. Whatever `visit`
  // throws stops the read and passes through.
  void forEachReferencedBlobKey(const std::function<void(std::string_view)>& visit);
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

}  // namespace tvr
