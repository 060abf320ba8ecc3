#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/catalog/BackupCatalog.h"
#include "engine/crypto/RepositoryKeyMaterial.h"
#include "engine/metadata/PlanID.h"
#include "engine/storage/RestoreSnapshot.h"
#include "platform/Bytes.h"

namespace tvr {

inline constexpr const char* kRepositoryRestoreReaderErrorDomain = "RepositoryRestoreReader";

// One file an export could not restore: its display and normalised paths and the reason.
struct ExportFailure {
  std::string relPath;
  std::string relPathNorm;
  std::string reason;
  bool operator==(const ExportFailure&) const = default;
};

// What an export wrote: complete, or every file it had to leave out.
struct ExportReport {
  std::vector<ExportFailure> failures;
  bool isComplete() const noexcept { return failures.empty(); }
};

// The read-only façade over a local repository: lists runs and directories of a run, reads
// one file into memory, restores one file to a destination and exports a whole run into a
// destination directory. It never writes to the repository.
//
// A value holding the root and the optional key material; every operation opens its own
// read-only catalog and closes it before returning, so calls may run on any thread.
// Errors: tvr::Error of domain "RepositoryRestoreReader", code 1, for the reader's own
// refusals, and code `unrecoverableContentCode` when the content of a file cannot be
// produced (its blob missing, not a regular file, unreadable or failing authentication, or
// decrypting to other bytes than the catalog records); that message is the reason alone.
// Errors of the catalog, the metadata gate, the path codec and of writing the destination
// (PosixError) pass through unchanged.
class RepositoryRestoreReader {
 public:
  static constexpr std::int64_t defaultMaxInMemoryFileBytes = 67108864;
  static constexpr long unrecoverableContentCode = 2;

  RepositoryRestoreReader(std::filesystem::path root, std::optional<RepositoryKeyMaterial> repositoryKeyMaterial);

  const std::filesystem::path& root() const noexcept { return root_; }
  const std::optional<RepositoryKeyMaterial>& repositoryKeyMaterial() const noexcept { return keyMaterial_; }

  // Threads restoreFile and exportRun use (0: the default, EncryptedBlobCodec::
  // parallelWorkerCount()). One thread does everything in order on the calling thread;
  // any count gives the same files, dates, report and errors.
  void setWorkerCount(unsigned workers);
  unsigned workerCount() const noexcept { return workers_; }

  // The plan's completed runs, ordered by start time.
  std::vector<RunInfo> listRuns(const PlanID& planID) const;

  // One directory level of a run (directories first, then files, each in Finder order).
  std::vector<SnapshotEntry> listChildren(const PlanID& planID, std::int64_t runID,
                                          const std::optional<std::string>& directoryRelPathNorm) const;

  // The decrypted content of one file, refused before any blob is read when the recorded
  // size exceeds `maxInMemoryBytes`.
  Bytes fileData(const PlanID& planID, std::int64_t runID, const std::string& relPathNorm,
                 std::int64_t maxInMemoryBytes) const;

  // Streams one file's decrypted content into `destination` (atomically: a failure leaves no
  // partial file) and sets its recorded modification date. The plaintext's blob key and byte
  // count are checked against the catalog entry before the file is moved into place. Linux
  // cannot set a birth time, so the creation date is not applied.
  void restoreFile(const PlanID& planID, std::int64_t runID, const std::string& relPathNorm,
                   const std::filesystem::path& destination, bool overwrite) const;

  // Writes every directory and file of the run below `destination`, each at its recorded
  // display path confined to the destination. Uses one catalog and one snapshot build for
  // the whole run. A file whose content cannot be produced is left out and listed in the
  // report, and the export goes on; any other error (catalog, confinement, destination)
  // stops it, and what was written before stays. Files are restored by a pool of
  // workerCount() threads (folders are created before anything in them), with the
  // outcome of restoring them one by one in walk order: the same files and dates, the
  // report in walk order, and the error of the earliest failing entry, after which no
  // later file is started and none is left half-written.
  ExportReport exportRun(const PlanID& planID, std::int64_t runID, const std::filesystem::path& destination,
                         bool overwrite) const;
  // The same for a snapshot already loaded (by loadSnapshot), so a caller that walks the run
  // first (to count what a progress display shows) builds it once.
  ExportReport exportRun(const RestoreSnapshot& snapshot, const std::filesystem::path& destination,
                         bool overwrite) const;

  // --- Whole-run operations on one snapshot build (search, dry runs).
  // Opens one catalog, checks the run is restorable, requires key material, and builds the
  // run's snapshot from its checkpoint or from one history query.
  RestoreSnapshot loadSnapshot(const PlanID& planID, std::int64_t runID) const;
  // Every file below the directory, depth first in listing order.
  std::vector<SnapshotEntry> allFiles(const PlanID& planID, std::int64_t runID,
                                      const std::optional<std::string>& directoryRelPathNorm) const;
  // Every entry below the directory, depth first, a directory before its contents.
  std::vector<SnapshotEntry> allEntries(const PlanID& planID, std::int64_t runID,
                                        const std::optional<std::string>& directoryRelPathNorm) const;
  // The first file of the run whose relPathNorm equals the path exactly, or none.
  std::optional<SnapshotEntry> findFile(const PlanID& planID, std::int64_t runID, const std::string& relPathNorm) const;

  // --- Destination checks (also used by the command line before it calls the reader).
  // Unless overwrite: any item at the destination (a link included) is refused.
  static void ensureRestoreDestinationIsWritable(const std::filesystem::path& destination, bool overwrite);
  // Unless overwrite: an existing non-directory, or a directory with any entry (hidden ones
  // count), is refused; a listing error passes through.
  static void ensureExportDestinationIsWritable(const std::filesystem::path& destination, bool overwrite);

  // The path below `root` where an exported entry with display path `relativePath` goes.
  // Refuses absolute paths, empty, "." or ".." components, and any path whose parent, or
  // whose existing item itself, resolves (links followed, also dangling ones) outside the
  // root: "Repository export path escapes destination: " + relativePath.
  static std::filesystem::path confinedExportDestination(const std::filesystem::path& root,
                                                         const std::string& relativePath);

 private:
  ExportReport exportSnapshot(const RestoreSnapshot& snapshot, const std::filesystem::path& destination,
                              bool overwrite) const;

  std::filesystem::path root_;
  std::optional<RepositoryKeyMaterial> keyMaterial_;
  unsigned workers_;
};

}  // namespace tvr
