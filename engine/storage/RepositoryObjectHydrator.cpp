#include "engine/storage/RepositoryObjectHydrator.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/Error.h"
#include "platform/FileSystem.h"

namespace tvr::RepositoryObjectHydrator {

namespace {
EngineError escapes(const std::string& raw) {
  return EngineError::ioError("Repository object key escapes hydration root: " + raw);
}

std::vector<std::string> segments(const std::string& raw) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  for (;;) {
    std::size_t slash = raw.find('/', start);
    pieces.push_back(raw.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
    if (slash == std::string::npos) return pieces;
    start = slash + 1;
  }
}
// Links resolve only on existing paths, so this runs after the folder exists.
void requireInside(const std::filesystem::path& directory, const std::filesystem::path& root, const std::string& raw) {
  if (pathIsInsideOrSame(directory, root)) return;
  // Tell a failed query (a vanished root, a dangling link) from a link that leads elsewhere.
  std::error_code ec;
  (void)std::filesystem::canonical(root, ec);
  if (ec) throw PosixError("realpath", ec.value(), root.string());
  (void)std::filesystem::canonical(directory, ec);
  if (ec) throw PosixError("realpath", ec.value(), directory.string());
  throw escapes(raw);
}
}  // namespace

std::filesystem::path confinedDestination(const RepositoryObjectKey& key, const std::filesystem::path& root) {
  const std::string& raw = key.rawValue();
  std::vector<std::string> pieces = segments(raw);
  std::filesystem::path destination = root;
  for (const std::string& piece : pieces) {
    if (piece.empty() || piece == "." || piece == "..") throw escapes(raw);
    destination /= piece;
  }
  // The folders are made one level at a time and each is checked before the next is made,
  // so a link planted in the tree cannot get even an empty folder created outside it. While
  // every level is a real folder (not a link), found or just made, the next one is inside
  // the root too and needs no resolving; from the first other item on, each level is
  // resolved and checked.
  std::filesystem::path parent = root;
  bool plain = true;
  for (std::size_t i = 0; i + 1 < pieces.size(); ++i) {
    parent /= pieces[i];
    struct stat st;
    if (plain && ::lstat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    if (::mkdir(parent.c_str(), 0755) == 0) {
      if (plain) continue;
    } else if (errno != EEXIST) {
      throw PosixError("mkdir", errno, parent.string());
    }
    plain = false;
    requireInside(parent, root, raw);
  }
  if (!plain || pieces.size() == 1) requireInside(parent, root, raw);
  // A link planted at the final component is harmless: downloads rename over it, replacing
  // the link rather than writing through it.
  return destination;
}

namespace {

// Blob keys name their contents, so a file of the listed size under a blob key is that blob.
bool keptFromEarlierRun(const std::string& raw, std::int64_t listedSize, const std::filesystem::path& destination,
                        std::int64_t& size) {
  if (listedSize < 0 || !raw.starts_with("blobs/")) return false;
  struct stat st;
  if (::lstat(destination.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (static_cast<std::int64_t>(st.st_size) != listedSize) return false;
  size = listedSize;
  return true;
}

std::int64_t hydrateObject(RepositoryStorageBackend& backend, const RepositoryObjectKeyList& keys, std::size_t index,
                           const std::filesystem::path& toRoot, const CancellationToken& cancel) {
  RepositoryObjectKey key{std::string(keys.key(index))};
  std::filesystem::path destination = confinedDestination(key, toRoot);
  std::int64_t size = 0;
  if (keptFromEarlierRun(key.rawValue(), keys.objectSize(index), destination, size)) return size;
  backend.readObject(key, destination, cancel);
  struct stat st;
  if (::stat(destination.c_str(), &st) != 0) throw PosixError("stat", errno, destination.string());
  return static_cast<std::int64_t>(st.st_size);
}

}  // namespace

RepositoryHydrationSummary hydrateRepository(RepositoryStorageBackend& backend, const std::filesystem::path& toRoot,
                                             const CancellationToken& cancel, unsigned concurrentTransfers) {
  RepositoryObjectKeyList keys = backend.listObjectsWithSizes(std::nullopt, cancel);
  createDirectories(toRoot);
  if (!std::filesystem::is_directory(toRoot)) throw PosixError("mkdir", ENOTDIR, toRoot.string());

  std::size_t workers = concurrentTransfers ? concurrentTransfers : backend.preferredTransferConcurrency();
  workers = std::clamp<std::size_t>(workers, 1, std::max<std::size_t>(keys.size(), 1));

  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::atomic<std::int64_t> bytes{0};
  std::mutex failureMutex;
  std::size_t failedIndex = keys.size();
  std::exception_ptr failure;
  auto work = [&] {
    while (!stop.load()) {
      std::size_t index = next.fetch_add(1);
      if (index >= keys.size()) return;
      try {
        cancel.throwIfCancelled();
        bytes += hydrateObject(backend, keys, index, toRoot, cancel);
      } catch (...) {
        std::lock_guard<std::mutex> lock(failureMutex);
        // Keys are started in order, so the lowest failing index is the first failing key.
        if (index < failedIndex) {
          failedIndex = index;
          failure = std::current_exception();
        }
        stop = true;
      }
    }
  };
  std::vector<std::thread> pool;
  try {
    for (std::size_t i = 1; i < workers; ++i) pool.emplace_back(work);
  } catch (const std::system_error&) {
    // No more threads to be had: the ones running, and this one, share the keys.
  }
  work();
  for (std::thread& thread : pool) thread.join();
  if (failure) std::rethrow_exception(failure);

  RepositoryHydrationSummary summary;
  summary.objectsRead = static_cast<std::int64_t>(keys.size());
  summary.bytesRead = bytes.load();
  return summary;
}

}  // namespace tvr::RepositoryObjectHydrator
