#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/metadata/PlanID.h"
#include "engine/storage/RepositoryObjectKey.h"
#include "engine/storage/RepositoryStorageBackend.h"

namespace tvr {

// The journal of a backup run in progress: one JSON-lines file per plan under
// "run-state/" in the repository, holding which attempts started, how many operations each
// planned and which operations completed with the blob each stored. A finished run removes
// it; one that survives marks a partial run, which `clearPartialRun` cleans up.
//
// All operations are static and stateless. Appends are synchronised to storage one record at
// a time (BackupRunJournal groups them), so a crash tears at most the line being written.
// Before appending, a torn last line is ended with a line feed; `load` skips a torn line at
// the end or just before a later attempt's started record, and keeps the blob key such a
// line still holds, so the cleanup finds that blob too.
// Errors: tvr::Error (domain "BackupRunStateStore", code 1) with "Run state is not valid
// UTF-8." or "Run state is missing its start record."; file-system and catalog errors pass
// through unchanged.
class BackupRunStateStore {
 public:
  enum class RecordKind { started, completed };

  struct CompletedOperation {
    std::string relPath;
    std::string kind;  // "prepare", "materialize", "mkdir", "copy", "replace", "hardlink"
    std::optional<std::string> blobKey;
    std::optional<std::string> blobStatus;  // "written" or "skippedExisting"

    bool operator==(const CompletedOperation&) const = default;
  };

  struct Record {
    RecordKind kind = RecordKind::started;
    std::optional<std::string> runUUID;
    std::optional<PlanID> planID;
    std::optional<double> startedAt;  // Unix-epoch seconds
    double updatedAt = 0;
    std::optional<std::int64_t> totalOperations;
    std::optional<CompletedOperation> completedOperation;

    // A started record for a new attempt: `startedAt` is both start and update time.
    static Record started(std::string runUUID, PlanID planID, double startedAt, std::int64_t totalOperations);
  };

  struct State {
    std::string runUUID;
    std::vector<std::string> runUUIDs;
    PlanID planID;
    double startedAt = 0;
    double updatedAt = 0;
    std::int64_t totalOperations = 0;
    std::vector<CompletedOperation> completedOperations;
    // Blob keys read from records torn by a crash (their status is unknown).
    std::vector<std::string> tornRecordBlobKeys;
  };

  struct PartialRunSnapshot {
    std::string runUUID;
    PlanID planID;
    double startedAt = 0;
    double updatedAt = 0;
    std::int64_t totalOperations = 0;
    std::int64_t completedOperationCount = 0;

    bool operator==(const PartialRunSnapshot&) const = default;
  };

  // root / "run-state" / safe plan name + ".jsonl"; the safe name replaces every character
  // that is not a Unicode letter or number, "-", "_" or "." with "_".
  static std::filesystem::path journalURL(const std::filesystem::path& root, const PlanID& planID);
  static std::string safePlanFileName(const PlanID& planID);

  // One record as its journal line (compact, sorted keys, ISO 8601 dates, no trailing "\n").
  static std::string encodeRecord(const Record& record);

  static void writeInitial(const Record& record, const std::filesystem::path& root, const PlanID& planID);
  static void append(const Record& record, const std::filesystem::path& root, const PlanID& planID);
  static void recordCompleted(const std::filesystem::path& root, const PlanID& planID, const std::string& relPath,
                              const std::string& kind, const std::optional<std::string>& blobKey,
                              std::optional<RepositoryObjectWriteResult::Status> blobStatus);
  static void clear(const std::filesystem::path& root, const PlanID& planID);
  static bool exists(const std::filesystem::path& root, const PlanID& planID);
  static State load(const std::filesystem::path& root, const PlanID& planID);
  static std::string activeRunUUID(const std::filesystem::path& root, const PlanID& planID);
  static PartialRunSnapshot partialRunSnapshot(const std::filesystem::path& root, const PlanID& planID);

  // Blobs the journal says were written by the partial run and that no catalog row
  // references, as "blobs/xx/<key>" object keys, in journal order, each once.
  static std::vector<RepositoryObjectKey> remoteObjectKeysWrittenDuringPartialRun(const std::filesystem::path& root,
                                                                                  const PlanID& planID);
  // Deletes those objects from `backend` in order; returns how many were deleted.
  static int deleteRemoteObjectsForPartialRun(const std::filesystem::path& root, const PlanID& planID,
                                              RepositoryStorageBackend& backend,
                                              const CancellationToken& cancel = CancellationToken::none());
  // Deletes the catalog runs of every attempt in the journal, the journal itself and the
  // ".upload-staging" folder. Without a journal only the staging folder goes; a journal that
  // cannot be loaded throws its load error and nothing is removed.
  static void clearPartialRun(const std::filesystem::path& root, const PlanID& planID);

  // True when the open journal `fd` does not end in a line feed (a crash tore its last line).
  static bool endsInTornLine(int fd, const std::filesystem::path& file);
};

}  // namespace tvr
