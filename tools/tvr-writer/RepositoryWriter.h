#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/backup/BackupWarning.h"
#include "engine/metadata/PlanID.h"
#include "engine/storage/RepositoryStorageBackend.h"

namespace tvr::tools {

// What one writer run is asked to do.
struct RepositoryWriterOptions {
  std::filesystem::path repository;  // created when it holds no repo.json yet
  PlanID planID;
  std::string planName;          // display name; default: the plan ID
  std::filesystem::path source;  // the folder to back up
  std::string recoveryPassword;  // unlocks an existing repository, wraps a new one's key
  bool writeCheckpoint = false;
  bool caseInsensitive = false;
  // Where the blobs go; null: the repository folder itself.
  std::shared_ptr<RepositoryStorageBackend> blobBackend;
  // For tests of interrupted runs: after this many completed operations the process ends at
  // once (no cleanup, no commit), as a kill would leave it.
  std::optional<std::int64_t> interruptAfterOperations;
  // Threads that seal and store files; 0: one per core.
  unsigned workers = 0;
  // For tests: called once the operations are planned, before any file is stored.
  std::function<void()> afterPlanning;
};

// What the run did, for the report.
struct RepositoryWriterResult {
  std::int64_t runID = 0;
  std::int64_t filesTotal = 0;
  std::int64_t bytesTotal = 0;
  std::int64_t filesCopied = 0;
  std::int64_t filesReplaced = 0;
  std::int64_t filesUnchanged = 0;
  std::int64_t filesDeleted = 0;
  std::int64_t directoriesTotal = 0;
  std::int64_t directoriesNew = 0;
  std::int64_t directoriesDeleted = 0;
  std::int64_t blobsWritten = 0;
  std::int64_t blobsAlreadyStored = 0;
  // Files whose contents changed between planning and storing: recorded as stored.
  std::int64_t filesChangedWhileStored = 0;
  std::vector<std::string> skippedPaths;  // symbolic links and special files, not backed up
  std::vector<BackupWarning> warnings;
  std::optional<std::string> checkpointBlobKey;
  // A journal of an earlier interrupted run that was cleaned up first.
  std::optional<std::string> clearedPartialRunUUID;
  std::int64_t clearedPartialRunBlobs = 0;
};

// Backs up `options.source` as one completed run: plans the operations (new directories,
// new and changed files; unchanged files are only marked seen), journals the run, stores each
// content once as an encrypted blob, records the catalog rows, sweeps what disappeared, stores
// the run summary, optionally writes a checkpoint, and clears the journal. Files are sealed
// and stored by a pool of workers, each journalling its operation as soon as its blob is
// stored; the catalog rows are recorded in path order, and the journal is made durable
// before they are committed. A file that changes after planning is recorded with the key
// and size of the bytes stored. A journal left by an interrupted run of the plan is cleaned
// up first. Throws tvr::Error on any failure.
RepositoryWriterResult writeRun(const RepositoryWriterOptions& options);

}  // namespace tvr::tools
