#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "engine/backup/BackupRunStateStore.h"
#include "platform/FileSystem.h"

namespace tvr {

// An open run journal that makes its records durable in groups. Each record is written to
// the file as it is appended, so a process that dies loses none; a background thread then
// synchronises the file once per group (every `recordsPerSync` records or `maximumDelay`
// after the first unsynchronised one, whichever comes first), so a system crash loses at
// most the records of the last group, whose blobs no committed catalog row references yet
// and which `verify` reports as orphans. Callers call `synchronize` before committing the
// catalog rows of the blobs they journalled.
//
// Owned by the run; thread-safe (the workers of a run append their own records). The
// first write or synchronisation failure is thrown (PosixError) by the next `append` or
// `synchronize`; the destructor synchronises what is pending and drops its errors.
class BackupRunJournal {
 public:
  struct Options {
    std::size_t recordsPerSync = 256;
    std::chrono::milliseconds maximumDelay{100};
    // The synchronisation call (fsync by default); tests count or fail it.
    std::function<int(int fd)> synchronizeFile;
  };

  // Starts an attempt: `started` is written as by BackupRunStateStore::writeInitial (a new
  // journal is created atomically; an existing one gets its torn last line ended first).
  BackupRunJournal(const std::filesystem::path& root, const PlanID& planID, const BackupRunStateStore::Record& started,
                   Options options);
  BackupRunJournal(const std::filesystem::path& root, const PlanID& planID, const BackupRunStateStore::Record& started)
      : BackupRunJournal(root, planID, started, Options{}) {}
  ~BackupRunJournal();
  BackupRunJournal(const BackupRunJournal&) = delete;
  BackupRunJournal& operator=(const BackupRunJournal&) = delete;

  void append(const BackupRunStateStore::Record& record);
  void recordCompleted(const std::string& relPath, const std::string& kind, const std::optional<std::string>& blobKey,
                       std::optional<RepositoryObjectWriteResult::Status> blobStatus);
  // Returns once every record appended so far is on stable storage.
  void synchronize();

 private:
  void flushLoop();
  void throwIfFailed();

  std::filesystem::path file_;
  Options options_;
  OpenFile fd_;
  std::mutex writeMutex_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable synced_;
  std::uint64_t appendedCount_ = 0;
  std::uint64_t syncedCount_ = 0;
  std::chrono::steady_clock::time_point firstPendingAt_;
  bool syncRequested_ = false;
  bool stopping_ = false;
  std::exception_ptr failure_;
  std::thread flusher_;
};

}  // namespace tvr
