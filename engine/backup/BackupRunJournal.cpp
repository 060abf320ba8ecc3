#include "engine/backup/BackupRunJournal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Error.h"
#include "platform/Iso8601.h"

namespace tvr {

namespace {

std::string blobStatusText(RepositoryObjectWriteResult::Status status) {
  return status == RepositoryObjectWriteResult::Status::written ? "written" : "skippedExisting";
}

}  // namespace

BackupRunJournal::BackupRunJournal(const std::filesystem::path& root, const PlanID& planID,
                                   const BackupRunStateStore::Record& started, Options options)
    : file_(BackupRunStateStore::journalURL(root, planID)), options_(std::move(options)) {
  if (!options_.synchronizeFile) options_.synchronizeFile = [](int fd) { return ::fsync(fd); };
  if (options_.recordsPerSync == 0) options_.recordsPerSync = 1;
  BackupRunStateStore::writeInitial(started, root, planID);
  fd_ = openFile(file_, O_WRONLY | O_APPEND);
  flusher_ = std::thread([this] { flushLoop(); });
}

BackupRunJournal::~BackupRunJournal() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  flusher_.join();
  // The last group is synchronised by the flusher on its way out; a failure there has no
  // caller left to tell, and the journal is cleared or cleaned up by the next run anyway.
  // The descriptor closes with the members, after the flusher has stopped.
}

void BackupRunJournal::throwIfFailed() {
  if (failure_) std::rethrow_exception(failure_);
}

void BackupRunJournal::append(const BackupRunStateStore::Record& record) {
  const std::string line = BackupRunStateStore::encodeRecord(record) + "\n";
  {
    std::lock_guard<std::mutex> lock(mutex_);
    throwIfFailed();
  }
  // One write per record: appended whole by the kernel, so a dying process tears nothing;
  // workers appending at once queue here so their lines never interleave.
  std::lock_guard<std::mutex> writing(writeMutex_);
  writeFully(fd_.get(), line.data(), line.size(), file_);
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (appendedCount_ == syncedCount_) firstPendingAt_ = std::chrono::steady_clock::now();
    ++appendedCount_;
    wake = appendedCount_ - syncedCount_ == 1 || appendedCount_ - syncedCount_ >= options_.recordsPerSync;
  }
  if (wake) wake_.notify_all();
}

void BackupRunJournal::recordCompleted(const std::string& relPath, const std::string& kind,
                                       const std::optional<std::string>& blobKey,
                                       std::optional<RepositoryObjectWriteResult::Status> blobStatus) {
  BackupRunStateStore::Record record;
  record.kind = BackupRunStateStore::RecordKind::completed;
  record.updatedAt = nowUnixSeconds();
  BackupRunStateStore::CompletedOperation op{relPath, kind, blobKey, std::nullopt};
  if (blobStatus) op.blobStatus = blobStatusText(*blobStatus);
  record.completedOperation = op;
  append(record);
}

void BackupRunJournal::synchronize() {
  std::unique_lock<std::mutex> lock(mutex_);
  const std::uint64_t target = appendedCount_;
  syncRequested_ = true;
  wake_.notify_all();
  synced_.wait(lock, [&] { return syncedCount_ >= target || failure_; });
  throwIfFailed();
}

void BackupRunJournal::flushLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    const auto due = [&] {
      const std::uint64_t pending = appendedCount_ - syncedCount_;
      if (pending == 0) return false;
      return syncRequested_ || stopping_ || pending >= options_.recordsPerSync ||
             std::chrono::steady_clock::now() - firstPendingAt_ >= options_.maximumDelay;
    };
    if (appendedCount_ == syncedCount_) {
      syncRequested_ = false;
      synced_.notify_all();
      if (stopping_ || failure_) return;
      wake_.wait(lock);
      continue;
    }
    if (!due()) {
      wake_.wait_until(lock, firstPendingAt_ + options_.maximumDelay);
      continue;
    }
    const std::uint64_t target = appendedCount_;
    lock.unlock();
    const int rc = options_.synchronizeFile(fd_.get());
    const int err = errno;
    lock.lock();
    if (rc != 0) {
      failure_ = std::make_exception_ptr(PosixError("fsync", err, file_.string()));
      synced_.notify_all();
      return;
    }
    syncedCount_ = target;
    if (appendedCount_ == syncedCount_) syncRequested_ = false;
    synced_.notify_all();
  }
}

}  // namespace tvr
