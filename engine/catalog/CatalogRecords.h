#pragma once

// The catalog's plain records: runs, snapshot entries, events, current rows and run
// counters. Small on purpose, so readers can include it without the catalog itself.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

}  // namespace tvr
