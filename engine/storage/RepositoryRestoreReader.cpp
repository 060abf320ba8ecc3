#include "engine/storage/RepositoryRestoreReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>

#include "engine/crypto/CryptoPrimitives.h"
#include "engine/crypto/EncryptedBlobCodec.h"
#include "engine/storage/RepositoryObjectKey.h"
#include "engine/storage/RestoreDestination.h"
#include "platform/AtomicFileWriter.h"
#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/TemporaryFiles.h"

namespace fs = std::filesystem;

namespace tvr {
namespace {

constexpr const char* kNoKeyMaterialMessage = "Repository is encrypted and requires repository key material.";

Error readerError(const std::string& message) { return Error(kRepositoryRestoreReaderErrorDomain, 1, message); }

Error noFileError(const std::string& relPathNorm, std::int64_t runID) {
  return readerError("No file at " + relPathNorm + " in run " + std::to_string(runID));
}

Error unrecoverable(const std::string& reason) {
  return Error(kRepositoryRestoreReaderErrorDomain, RepositoryRestoreReader::unrecoverableContentCode, reason);
}

Error escapeError(const std::string& relativePath) {
  return readerError("Repository export path escapes destination: " + relativePath);
}

// The blob file of a key: root/blobs/<first two characters>/<key>. The key comes from the
// catalog or a manifest, so it is checked before it becomes a path.
fs::path blobPath(const fs::path& root, const std::string& blobKey) {
  if (!RepositoryObjectKey::isBlobKey(blobKey)) throw unrecoverable("the catalog records an invalid blob key");
  return RepositoryObjectKey::blobPath(root, blobKey);
}

// The blob of a key, open for reading: a link is not followed (it could point anywhere),
// and a FIFO or a device is refused without waiting on it.
OpenFile openBlob(const fs::path& path, const std::string& blobKey) {
  try {
    return openRegularFileForReading(path, false);
  } catch (const PosixError& error) {
    if (error.err() == ENOENT || error.err() == ENOTDIR) throw unrecoverable("blob " + blobKey + " is missing");
    if (error.err() == ELOOP) throw unrecoverable("blob " + blobKey + " is not a regular file");
    throw unrecoverable(error.message());
  } catch (const EngineError&) {
    throw unrecoverable("blob " + blobKey + " is not a regular file");
  }
}

// Decrypts the entry's blob into `destination` through a temporary sibling, computing the
// plaintext's blob key and byte count on the way; the file is moved into place only when
// both match the entry. Problems of the content are `unrecoverable`; problems of writing
// the destination pass through as they are. No temporary file is left behind either way.
// Thrown through the decoder when an export no longer needs this file (a file before it
// failed); never leaves the export.
struct Abandoned {};

// `workers` threads decode a blob of several chunks; `abandon`, when set, is asked before
// every chunk is written whether the file is still wanted.
void writeCheckedContent(const fs::path& root, const EncryptedBlobCodec& codec, const SnapshotEntry& entry,
                         const fs::path& destination, unsigned workers, const std::function<bool()>& abandon) {
  const std::string& blobKey = *entry.blobKey;
  const fs::path blobFile = blobPath(root, blobKey);
  OpenFile blob = openBlob(blobFile, blobKey);
  // Listed while it exists, so an interrupt removes it and progress sees it grow; removed
  // on every failure. The caller has made the folder.
  AtomicFileWriter::TemporaryFile out(AtomicFileWriter::temporarySibling(destination), destination,
                                      AtomicFileWriter::Durability::unsynchronized);
  crypto::HMACSHA256 mac = codec.newBlobKeyMac();
  std::uint64_t byteCount = 0;
  // Chunks are written at their offsets by the threads that decode them; the hash and the
  // count follow in order here. A failure to write passes through as it is.
  struct WriteFailure {
    std::exception_ptr error;
  };
  try {
    codec.openStreamPlaced(
        blob.get(), blobFile,
        [&](std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
          try {
            writeFullyAt(out.fd(), data, size, offset, out.path());
          } catch (...) {
            throw WriteFailure{std::current_exception()};
          }
        },
        [&](const std::uint8_t* data, std::size_t size) {
          if (abandon && abandon()) throw Abandoned{};
          mac.update(data, size);
          byteCount += size;
        },
        workers);
  } catch (const WriteFailure& failure) {
    std::rethrow_exception(failure.error);
  } catch (const Error& error) {
    throw unrecoverable(error.message());
  }
  const crypto::Digest digest = mac.finish();
  if (hexEncode(digest.data(), digest.size()) != blobKey) {
    throw unrecoverable("the content of blob " + blobKey + " does not match its key");
  }
  if (entry.sizeBytes && byteCount != static_cast<std::uint64_t>(*entry.sizeBytes)) {
    throw unrecoverable("blob " + blobKey + " holds " + std::to_string(byteCount) + " bytes but the catalog records " +
                        std::to_string(*entry.sizeBytes));
  }
  out.close();
  out.moveIntoPlace();
}

std::optional<struct timespec> timespecOf(double seconds) {
  // A damaged catalog may hold any double; dates outside ±10^15 s are not dates.
  if (!std::isfinite(seconds) || std::fabs(seconds) > 1e15) return std::nullopt;
  double whole = std::floor(seconds);
  long nanoseconds = static_cast<long>(std::llround((seconds - whole) * 1e9));
  if (nanoseconds >= 1000000000L) {
    whole += 1;
    nanoseconds -= 1000000000L;
  }
  struct timespec value {};
  value.tv_sec = static_cast<time_t>(whole);
  value.tv_nsec = nanoseconds;
  return value;
}

// Linux has no settable birth time, so only the modification date is applied; the access
// time is left as it is.
void applyCatalogDates(const fs::path& destination, const SnapshotEntry& entry) {
  if (!entry.modifiedAt) return;
  const std::optional<struct timespec> modified = timespecOf(*entry.modifiedAt);
  if (!modified) return;
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1] = *modified;
  if (::utimensat(AT_FDCWD, destination.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    throw PosixError("utimensat", errno, destination.string());
  }
}

// The physical path of `path`: every symbolic link resolved (dangling ones too, by their
// target text), "." and ".." applied after resolution, and the part that does not exist yet
// appended as it is. Empty when links loop.
std::optional<std::string> resolvedPath(const fs::path& path) {
  const fs::path absolute = path.is_absolute() ? path : fs::current_path() / path;
  std::deque<std::string> pending;
  for (const fs::path& component : absolute.relative_path()) pending.push_back(component.string());

  std::string result = "/";
  bool missing = false;
  int linkHops = 0;
  auto parentOf = [](const std::string& text) {
    const std::size_t slash = text.find_last_of('/');
    return slash == 0 || slash == std::string::npos ? std::string("/") : text.substr(0, slash);
  };
  while (!pending.empty()) {
    std::string component = std::move(pending.front());
    pending.pop_front();
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      result = parentOf(result);
      continue;
    }
    std::string next = result == "/" ? "/" + component : result + "/" + component;
    if (missing) {
      result = std::move(next);
      continue;
    }
    struct stat status {};
    if (::lstat(next.c_str(), &status) != 0) {
      // Nothing there (or nothing this process may see): the rest is only a name.
      missing = true;
      result = std::move(next);
      continue;
    }
    if (!S_ISLNK(status.st_mode)) {
      result = std::move(next);
      continue;
    }
    if (++linkHops > 40) return std::nullopt;
    std::string target(static_cast<std::size_t>(status.st_size > 0 ? status.st_size : 256) + 1, '\0');
    ssize_t length = 0;
    for (;;) {
      length = ::readlink(next.c_str(), target.data(), target.size());
      if (length < 0) return std::nullopt;
      if (static_cast<std::size_t>(length) < target.size()) break;
      target.resize(target.size() * 2);
    }
    target.resize(static_cast<std::size_t>(length));
    const fs::path targetPath(target);
    std::deque<std::string> expanded;
    for (const fs::path& component : targetPath.relative_path()) expanded.push_back(component.string());
    pending.insert(pending.begin(), expanded.begin(), expanded.end());
    if (targetPath.is_absolute()) result = "/";
  }
  return result;
}

bool itemExistsNoFollow(const fs::path& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

// The export root in resolved form, computed once per export and checked per entry.
class ExportConfinement {
 public:
  explicit ExportConfinement(const fs::path& root) : root_(root) {
    if (const std::optional<std::string> resolved = resolvedPath(root)) {
      rootPath_ = *resolved;
      while (rootPath_.size() > 1 && rootPath_.back() == '/') rootPath_.pop_back();
      rootForm_ = rootPath_.back() == '/' ? rootPath_ : rootPath_ + "/";
    }
  }

  fs::path destination(const std::string& relativePath) {
    if (!relativePath.empty() && relativePath.front() == '/') throw escapeError(relativePath);
    std::string_view trimmed(relativePath);
    while (!trimmed.empty() && trimmed.front() == '/') trimmed.remove_prefix(1);
    while (!trimmed.empty() && trimmed.back() == '/') trimmed.remove_suffix(1);
    if (trimmed.empty()) throw escapeError(relativePath);

    fs::path candidate = root_;
    std::size_t start = 0;
    for (;;) {
      const std::size_t slash = trimmed.find('/', start);
      const std::string_view component =
          trimmed.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
      // A NUL would cut the path short at the system call, writing somewhere else.
      if (component.empty() || component == "." || component == ".." ||
          component.find('\0') != std::string_view::npos) {
        throw escapeError(relativePath);
      }
      candidate /= fs::path(std::string(component));
      if (slash == std::string_view::npos) break;
      start = slash + 1;
    }

    // Consecutive entries of one folder share the check of that folder: nothing between
    // them (a file or a folder below it) can turn it into a link.
    std::string parent = candidate.parent_path().native();
    if (parent != verifiedParent_) {
      if (!insideRoot(resolvedPath(parent))) throw escapeError(relativePath);
      verifiedParent_ = std::move(parent);
    }
    // Catches a link left in the destination that points outside it.
    if (itemExistsNoFollow(candidate) && !insideRoot(resolvedPath(candidate))) throw escapeError(relativePath);
    return candidate;
  }

 private:
  bool insideRoot(const std::optional<std::string>& resolved) const {
    if (rootPath_.empty() || !resolved) return false;
    return *resolved == rootPath_ || resolved->compare(0, rootForm_.size(), rootForm_) == 0;
  }

  fs::path root_;
  std::string rootPath_;  // empty when the root itself cannot be resolved (a link loop)
  std::string rootForm_;
  std::string verifiedParent_;  // the folder of the last entry, found inside the root
};

}  // namespace

RepositoryRestoreReader::RepositoryRestoreReader(fs::path root,
                                                 std::optional<RepositoryKeyMaterial> repositoryKeyMaterial)
    : root_(std::move(root)),
      keyMaterial_(std::move(repositoryKeyMaterial)),
      workers_(EncryptedBlobCodec::parallelWorkerCount()) {}

void RepositoryRestoreReader::setWorkerCount(unsigned workers) {
  workers_ = workers == 0 ? EncryptedBlobCodec::parallelWorkerCount() : workers;
}

std::vector<RunInfo> RepositoryRestoreReader::listRuns(const PlanID& planID) const {
  BackupCatalog catalog(root_, keyMaterial_, BackupCatalog::OpenMode::readOnly);
  return catalog.listRuns(planID, false);
}

std::vector<SnapshotEntry> RepositoryRestoreReader::listChildren(
    const PlanID& planID, std::int64_t runID, const std::optional<std::string>& directoryRelPathNorm) const {
  BackupCatalog catalog(root_, keyMaterial_, BackupCatalog::OpenMode::readOnly);
  return catalog.listSnapshotChildren(planID, runID, directoryRelPathNorm);
}

Bytes RepositoryRestoreReader::fileData(const PlanID& planID, std::int64_t runID, const std::string& relPathNorm,
                                        std::int64_t maxInMemoryBytes) const {
  if (!keyMaterial_) throw readerError(kNoKeyMaterialMessage);
  std::optional<SnapshotEntry> entry;
  {
    BackupCatalog catalog(root_, keyMaterial_, BackupCatalog::OpenMode::readOnly);
    entry = catalog.snapshotFileEntry(planID, runID, relPathNorm);
  }
  if (!entry) throw noFileError(relPathNorm, runID);
  if (!entry->blobKey) throw readerError("File " + relPathNorm + " has no blob key");
  if (entry->sizeBytes && *entry->sizeBytes > maxInMemoryBytes) {
    throw readerError("File " + relPathNorm + " is too large for in-memory restore; use restoreFile instead.");
  }
  const std::string& blobKey = *entry->blobKey;
  const fs::path blobFile = blobPath(root_, blobKey);
  OpenFile blob = openBlob(blobFile, blobKey);
  const EncryptedBlobCodec codec(*keyMaterial_);
  Bytes plaintext;
  try {
    codec.openStream(blob.get(), blobFile, [&](const std::uint8_t* data, std::size_t size) {
      // The recorded size may be absent or wrong: the limit holds for what is decrypted.
      if (plaintext.size() + size > static_cast<std::uint64_t>(std::max<std::int64_t>(maxInMemoryBytes, 0))) {
        throw readerError("File " + relPathNorm + " is too large for in-memory restore; use restoreFile instead.");
      }
      plaintext.insert(plaintext.end(), data, data + size);
    });
  } catch (const Error& error) {
    if (error.domain() == kRepositoryRestoreReaderErrorDomain) throw;
    throw unrecoverable(error.message());
  }
  if (codec.blobKeyForPlaintext(plaintext) != blobKey) {
    throw unrecoverable("the content of blob " + blobKey + " does not match its key");
  }
  if (entry->sizeBytes && plaintext.size() != static_cast<std::uint64_t>(*entry->sizeBytes)) {
    throw unrecoverable("blob " + blobKey + " holds " + std::to_string(plaintext.size()) +
                        " bytes but the catalog records " + std::to_string(*entry->sizeBytes));
  }
  return plaintext;
}

namespace {

// restoreFile from step 2 on, once the key material is known to be present; `resolve` is
// called after the destination checks, as the catalog lookup is.
template <class Resolve>
void restoreResolvedFile(const fs::path& root, const EncryptedBlobCodec& codec, const std::string& relPathNorm,
                         std::int64_t runID, const fs::path& destination, bool overwrite, Resolve&& resolve,
                         unsigned workers, const std::function<bool()>& abandon = {}) {
  RepositoryRestoreReader::ensureRestoreDestinationIsWritable(destination, overwrite);
  createDirectories(destination.parent_path());
  const std::optional<SnapshotEntry> entry = resolve();
  if (!entry || !entry->blobKey) throw noFileError(relPathNorm, runID);
  writeCheckedContent(root, codec, *entry, destination, workers, abandon);
  applyCatalogDates(destination, *entry);
}

bool isUnrecoverableContent(const Error& error) {
  return error.domain() == kRepositoryRestoreReaderErrorDomain &&
         error.code() == RepositoryRestoreReader::unrecoverableContentCode;
}

// Thrown from the walk's visitor to end it once the export has failed.
struct StopWalk {};

// Restores the files of one export on a pool of threads while the caller walks the
// snapshot, so that the outcome is the one of restoring them one after another in walk
// order: failures are reported in that order, and the error that stops the export is the
// one of the earliest entry that fails (every entry before it is finished first, entries
// after it are dropped or abandoned mid-file, leaving no temporary file). At most `window`
// files are in flight, so memory does not grow with the number of files. An entry whose
// destination, or a folder above it, is the destination of a file in flight (or lies
// below one) waits for that file, as it would have in order.
//
// With one worker nothing runs on another thread: each file is restored as it is submitted.
class ExportFilePool {
 public:
  using Restore = std::function<void(const SnapshotEntry& entry, const fs::path& target, unsigned workers,
                                     const std::function<bool()>& abandon)>;

  ExportFilePool(unsigned workers, Restore restore)
      : workers_(std::max(1u, workers)), window_(16 * workers_), restore_(std::move(restore)) {
    if (workers_ == 1) return;
    try {
      for (unsigned i = 0; i < workers_; ++i) threads_.emplace_back([this] { work(); });
    } catch (...) {
      stopThreads();
      throw;
    }
  }
  ~ExportFilePool() { stopThreads(); }
  ExportFilePool(const ExportFilePool&) = delete;
  ExportFilePool& operator=(const ExportFilePool&) = delete;

  // True once an entry has failed; nothing after it needs to be done.
  bool failed() const { return stopAt_.load() != kNone; }

  // Waits until no file in flight writes at `target`, above it or below it.
  void waitForPath(const fs::path& target) {
    if (threads_.empty()) return;
    std::unique_lock<std::mutex> lock(mutex_);
    if (!collides(target.string())) return;
    ++pathWaiters_;
    changed_.wait(lock, [&] { return !collides(target.string()); });
    --pathWaiters_;
  }

  // Restores the file of entry `sequence`: on the pool, or here on every core after the
  // files in flight have finished, for a file of several chunks (the decoder then uses
  // all workers, and memory stays at one decoder's window).
  void submit(std::uint64_t sequence, SnapshotEntry entry, fs::path target) {
    const bool large = entry.sizeBytes && *entry.sizeBytes > static_cast<std::int64_t>(EncryptedBlobCodec::chunkSize);
    if (threads_.empty() || large) {
      drain();
      if (failed()) return;
      run(Task{sequence, std::move(entry), std::move(target)}, workers_);
      return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (inFlight_ == window_) {
      // Refilled half a window at a time: one wake-up of this thread per many files.
      waitingForRoom_ = true;
      changed_.wait(lock, [&] { return inFlight_ <= window_ / 2; });
      waitingForRoom_ = false;
    }
    markBusy(target.string(), +1);
    ++inFlight_;
    queue_.push_back(Task{sequence, std::move(entry), std::move(target)});
    ready_.notify_one();
  }

  // Waits for every file in flight.
  void drain() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (inFlight_ == 0) return;
    draining_ = true;
    changed_.wait(lock, [&] { return inFlight_ == 0; });
    draining_ = false;
  }

  // After the walk (ended early or not, by `walkError` at `walkSequence` or not): waits
  // for the files in flight, then rethrows the earliest error or returns the failures in
  // walk order.
  std::vector<ExportFailure> finish(std::exception_ptr walkError, std::uint64_t walkSequence) {
    drain();
    stopThreads();
    if (walkError) record(walkSequence, walkError);
    if (firstError_) std::rethrow_exception(firstError_);
    std::sort(failures_.begin(), failures_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<ExportFailure> failures;
    failures.reserve(failures_.size());
    for (auto& failure : failures_) failures.push_back(std::move(failure.second));
    return failures;
  }

 private:
  static constexpr std::uint64_t kNone = UINT64_MAX;

  struct Task {
    std::uint64_t sequence;
    SnapshotEntry entry;
    fs::path target;
  };

  void run(const Task& task, unsigned decodeWorkers) {
    const std::uint64_t sequence = task.sequence;
    auto abandon = [this, sequence] { return stopAt_.load() < sequence; };
    try {
      if (abandon()) return;
      restore_(task.entry, task.target, decodeWorkers, abandon);
    } catch (const Abandoned&) {
      // A file before this one failed: the export ends there, this file is not wanted.
    } catch (const Error& error) {
      if (!isUnrecoverableContent(error)) {
        record(sequence, std::current_exception());
        return;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      failures_.emplace_back(sequence, ExportFailure{task.entry.relPath, task.entry.relPathNorm, error.message()});
    } catch (...) {
      record(sequence, std::current_exception());
    }
  }

  void record(std::uint64_t sequence, std::exception_ptr error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sequence < firstErrorSequence_) {
      firstErrorSequence_ = sequence;
      firstError_ = std::move(error);
    }
    std::uint64_t current = stopAt_.load();
    while (sequence < current && !stopAt_.compare_exchange_weak(current, sequence)) {
    }
  }

  void work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      ready_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      Task task = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      run(task, 1);
      lock.lock();
      markBusy(task.target.string(), -1);
      --inFlight_;
      // Woken only when what it waits for may have come.
      if (pathWaiters_ > 0 || (draining_ && inFlight_ == 0) || (waitingForRoom_ && inFlight_ <= window_ / 2)) {
        changed_.notify_all();
      }
    }
  }

  void stopThreads() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    ready_.notify_all();
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
  }

  // The folders above `target` inside the export, nearest last (what its restore creates).
  template <class Visit>
  static void forEachAncestor(const std::string& target, Visit&& visit) {
    for (std::size_t slash = target.find('/', 1); slash != std::string::npos; slash = target.find('/', slash + 1)) {
      visit(target.substr(0, slash));
    }
  }

  void markBusy(const std::string& target, int delta) {
    adjust(busyTargets_, target, delta);
    forEachAncestor(target, [&](const std::string& ancestor) { adjust(busyAncestors_, ancestor, delta); });
  }

  static void adjust(std::unordered_map<std::string, int>& counts, const std::string& key, int delta) {
    auto it = counts.try_emplace(key, 0).first;
    it->second += delta;
    if (it->second == 0) counts.erase(it);
  }

  bool collides(const std::string& target) const {
    if (busyTargets_.count(target) || busyAncestors_.count(target)) return true;
    bool found = false;
    forEachAncestor(target, [&](const std::string& ancestor) { found = found || busyTargets_.count(ancestor) != 0; });
    return found;
  }

  const unsigned workers_;
  const std::size_t window_;
  Restore restore_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable changed_;
  std::deque<Task> queue_;
  std::size_t inFlight_ = 0;
  bool stopping_ = false;
  // Who waits on changed_ (one caller thread: at most one of the three at a time).
  int pathWaiters_ = 0;
  bool waitingForRoom_ = false;
  bool draining_ = false;
  std::unordered_map<std::string, int> busyTargets_;
  std::unordered_map<std::string, int> busyAncestors_;
  std::atomic<std::uint64_t> stopAt_{kNone};
  std::uint64_t firstErrorSequence_ = kNone;
  std::exception_ptr firstError_;
  std::vector<std::pair<std::uint64_t, ExportFailure>> failures_;
};

}  // namespace

void RepositoryRestoreReader::restoreFile(const PlanID& planID, std::int64_t runID, const std::string& relPathNorm,
                                          const fs::path& destination, bool overwrite) const {
  if (!keyMaterial_) throw readerError(kNoKeyMaterialMessage);
  const EncryptedBlobCodec codec(*keyMaterial_);
  restoreResolvedFile(
      root_, codec, relPathNorm, runID, destination, overwrite,
      [&] {
        BackupCatalog catalog(root_, keyMaterial_, BackupCatalog::OpenMode::readOnly);
        return catalog.snapshotFileEntry(planID, runID, relPathNorm);
      },
      workers_);
}

ExportReport RepositoryRestoreReader::exportRun(const PlanID& planID, std::int64_t runID, const fs::path& destination,
                                                bool overwrite) const {
  ensureExportDestinationIsWritable(destination, overwrite);
  createDirectories(destination);
  return exportSnapshot(loadSnapshot(planID, runID), destination, overwrite);
}

ExportReport RepositoryRestoreReader::exportRun(const RestoreSnapshot& snapshot, const fs::path& destination,
                                                bool overwrite) const {
  ensureExportDestinationIsWritable(destination, overwrite);
  createDirectories(destination);
  return exportSnapshot(snapshot, destination, overwrite);
}

ExportReport RepositoryRestoreReader::exportSnapshot(const RestoreSnapshot& snapshot, const fs::path& destination,
                                                     bool overwrite) const {
  const std::int64_t runID = snapshot.runID();
  std::optional<EncryptedBlobCodec> codec;
  if (keyMaterial_) codec.emplace(*keyMaterial_);
  ExportConfinement confinement(destination);
  ExportFilePool pool(workers_, [&](const SnapshotEntry& child, const fs::path& target, unsigned workers,
                                    const std::function<bool()>& abandon) {
    restoreResolvedFile(
        root_, *codec, child.relPathNorm, runID, target, overwrite,
        [&] { return snapshot.fileEntry(child.relPathNorm); }, workers, abandon);
  });
  std::uint64_t sequence = 0;
  std::exception_ptr walkError;
  try {
    snapshot.walk(std::nullopt, [&](const SnapshotEntry& child) {
      ++sequence;
      if (pool.failed()) throw StopWalk{};
      fs::path target = confinement.destination(child.relPath);
      pool.waitForPath(target);
      if (child.kind == SnapshotKind::directory) {
        // Created here, before any of its contents is handed to the pool.
        createDirectories(target);
        return;
      }
      if (!codec) throw readerError(kNoKeyMaterialMessage);
      pool.submit(sequence, child, std::move(target));
    });
  } catch (const StopWalk&) {
    // The pool holds the error that ended the walk.
  } catch (...) {
    walkError = std::current_exception();
  }
  ExportReport report;
  report.failures = pool.finish(walkError, sequence);
  return report;
}

RestoreSnapshot RepositoryRestoreReader::loadSnapshot(const PlanID& planID, std::int64_t runID) const {
  BackupCatalog catalog(root_, keyMaterial_, BackupCatalog::OpenMode::readOnly);
  return RestoreSnapshot(planID, runID, catalog.loadSnapshot(planID, runID));
}

std::vector<SnapshotEntry> RepositoryRestoreReader::allFiles(
    const PlanID& planID, std::int64_t runID, const std::optional<std::string>& directoryRelPathNorm) const {
  return loadSnapshot(planID, runID).allFiles(directoryRelPathNorm);
}

std::vector<SnapshotEntry> RepositoryRestoreReader::allEntries(
    const PlanID& planID, std::int64_t runID, const std::optional<std::string>& directoryRelPathNorm) const {
  return loadSnapshot(planID, runID).allEntries(directoryRelPathNorm);
}

std::optional<SnapshotEntry> RepositoryRestoreReader::findFile(const PlanID& planID, std::int64_t runID,
                                                               const std::string& relPathNorm) const {
  return loadSnapshot(planID, runID).firstFile(relPathNorm);
}

void RepositoryRestoreReader::ensureRestoreDestinationIsWritable(const fs::path& destination, bool overwrite) {
  if (fileDestinationRefusal(destination, overwrite) != DestinationRefusal::none) {
    throw readerError("Refusing to overwrite existing destination: " + destination.string() + ".");
  }
}

void RepositoryRestoreReader::ensureExportDestinationIsWritable(const fs::path& destination, bool overwrite) {
  switch (folderDestinationRefusal(destination, overwrite)) {
    case DestinationRefusal::existingFile:
      throw readerError("Refusing to export into existing file: " + destination.string() + ".");
    case DestinationRefusal::nonEmptyDirectory:
      throw readerError("Refusing to export into non-empty destination: " + destination.string() + ".");
    case DestinationRefusal::none:
    case DestinationRefusal::existingItem:
      return;
  }
}

fs::path RepositoryRestoreReader::confinedExportDestination(const fs::path& root, const std::string& relativePath) {
  return ExportConfinement(root).destination(relativePath);
}

}  // namespace tvr
