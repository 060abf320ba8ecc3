#include "engine/storage/LocalRepositoryStorageBackend.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <system_error>
#include <thread>

#include "platform/AtomicFileWriter.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"

namespace tvr {

namespace fs = std::filesystem;

namespace {

std::optional<std::string> realPath(const fs::path& path) {
  char buffer[PATH_MAX];
  if (::realpath(path.c_str(), buffer) == nullptr) return std::nullopt;
  return std::string(buffer);
}

std::string rootPrefix(const std::string& resolvedRoot) {
  std::string prefix = resolvedRoot;
  while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
  prefix += "/";
  for (std::size_t at; (at = prefix.find("//")) != std::string::npos;) prefix.replace(at, 2, "/");
  return prefix;
}

std::int64_t itemSize(const fs::path& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) throw PosixError("lstat", errno, path.string());
  return static_cast<std::int64_t>(info.st_size);
}

}  // namespace

LocalRepositoryStorageBackend::LocalRepositoryStorageBackend(fs::path root)
    : LocalRepositoryStorageBackend(
          std::move(root), [](const fs::path& file, const fs::path& root) { return pathIsInsideOrSame(file, root); }) {
  defaultContainment_ = true;
}

LocalRepositoryStorageBackend::LocalRepositoryStorageBackend(fs::path root, PathIsInside pathIsInside)
    : root_(std::move(root)), pathIsInside_(std::move(pathIsInside)) {}

fs::path LocalRepositoryStorageBackend::objectURL(const RepositoryObjectKey& key) const {
  return root_ / key.rawValue();
}

fs::path LocalRepositoryStorageBackend::confinedObjectURL(const RepositoryObjectKey& key, bool followFinalLink) const {
  fs::path url = objectURL(key);
  // A symbolic link inside the root must not carry a read or write to a place outside it:
  // the deepest existing part of the object's path has to resolve under the resolved root.
  // Writes and deletes replace or remove a final link itself, so only its folder counts.
  // A path without any link below the root is inside it; only others resolve real paths.
  const std::string& raw = key.rawValue();
  std::string_view checked = raw;
  if (!followFinalLink) {
    std::size_t slash = checked.rfind('/');
    checked = slash == std::string_view::npos ? std::string_view{} : checked.substr(0, slash);
  }
  if (!checked.empty() && RepositoryObjectKey::isValid(raw) && existsWithoutLinksBelow(root_, checked)) return url;
  std::optional<std::string> resolvedRoot = realPath(root_);
  if (!resolvedRoot) return url;
  fs::path probe = followFinalLink ? url : url.parent_path();
  while (!itemExists(probe) && probe.has_relative_path() && probe != probe.parent_path()) {
    probe = probe.parent_path();
  }
  std::optional<std::string> resolved = realPath(probe);
  if (resolved && *resolved != *resolvedRoot && resolved->rfind(rootPrefix(*resolvedRoot), 0) != 0) {
    throw EngineError::ioError("Path " + *resolved + " is not under root " + *resolvedRoot);
  }
  return url;
}

bool LocalRepositoryStorageBackend::objectExists(const RepositoryObjectKey& key, const CancellationToken& cancel) {
  cancel.throwIfCancelled();
  return itemExists(root_ / key.rawValue());
}

RepositoryObjectWriteResult LocalRepositoryStorageBackend::writeObject(const fs::path& from,
                                                                       const RepositoryObjectKey& key,
                                                                       const RepositoryObjectWriteMode& mode,
                                                                       const CancellationToken& cancel) {
  cancel.throwIfCancelled();
  fs::path url = confinedObjectURL(key, false);
  if (mode.kind == RepositoryObjectWriteMode::Kind::createIfAbsent && itemExists(url)) {
    std::int64_t size = itemSize(url);
    if (!mode.expectedSize || *mode.expectedSize == size) {
      return {RepositoryObjectWriteResult::Status::skippedExisting, size};
    }
    throw EngineError::ioError("Existing object " + key.rawValue() + " has size " + std::to_string(size) +
                               ", expected " + std::to_string(*mode.expectedSize) + ".");
  }
  AtomicFileWriter::copyFileData(from, url);
  return {RepositoryObjectWriteResult::Status::written, itemSize(url)};
}

void LocalRepositoryStorageBackend::readObject(const RepositoryObjectKey& key, const fs::path& to,
                                               const CancellationToken& cancel) {
  cancel.throwIfCancelled();
  AtomicFileWriter::copyFileData(confinedObjectURL(key, true), to);
}

void LocalRepositoryStorageBackend::deleteObject(const RepositoryObjectKey& key, const CancellationToken& cancel) {
  cancel.throwIfCancelled();
  fs::path url = confinedObjectURL(key, false);
  if (!itemExists(url)) return;
  std::error_code ec;
  fs::remove(url, ec);
  if (ec) throw PosixError("remove", ec.value(), url.string());
}

std::vector<RepositoryObjectKey> LocalRepositoryStorageBackend::listObjectKeys(const std::optional<std::string>& prefix,
                                                                               const CancellationToken& cancel) {
  return listObjectsWithSizes(prefix, cancel).keys();
}

RepositoryObjectKeyList LocalRepositoryStorageBackend::listObjectsWithSizes(const std::optional<std::string>& prefix,
                                                                            const CancellationToken& cancel) {
  cancel.throwIfCancelled();
  RepositoryObjectKeyList list;
  if (!itemExists(root_)) return list;

  std::optional<std::string> resolvedRoot = realPath(root_);
  if (!resolvedRoot) throw PosixError("realpath", errno, root_.string());
  const std::string prefixOfRoot = rootPrefix(*resolvedRoot);

  // Each file becomes a compact list entry as it is met, so the listing holds no path
  // objects for files it has already passed. The walk follows no links, so every file of a
  // folder resolves through that folder: the folder is resolved (and, with the default
  // containment answer, checked) once, not each of its files.
  struct Folder {
    std::string path;  // as the walk spells it; empty before the first file
    bool inside = false;
    std::string resolved;
  } folder;
  std::error_code ec;
  fs::recursive_directory_iterator it(root_, fs::directory_options::none, ec);
  if (ec) throw PosixError("opendir", ec.value(), root_.string());
  std::size_t seen = 0;
  for (fs::recursive_directory_iterator end; it != end; it.increment(ec)) {
    if (ec) throw PosixError("readdir", ec.value(), root_.string());
    if (++seen % 4096 == 0) cancel.throwIfCancelled();
    const fs::path& url = it->path();
    const std::string_view name = std::string_view(url.native()).substr(url.native().rfind('/') + 1);
    if (name.starts_with(".")) {
      if (it->is_directory(ec)) it.disable_recursion_pending();
      continue;
    }
    struct stat info {};
    if (::lstat(url.c_str(), &info) != 0) throw PosixError("lstat", errno, url.string());
    if (!S_ISREG(info.st_mode)) continue;
    fs::path parent = url.parent_path();
    if (folder.path.empty() || parent.native() != folder.path) {
      folder.path = parent.native();
      folder.inside = defaultContainment_ ? pathIsInsideOrSame(parent, root_) : true;
      std::optional<std::string> resolved = folder.inside ? realPath(parent) : std::nullopt;
      if (folder.inside && !resolved) throw PosixError("realpath", errno, url.string());
      folder.resolved = resolved.value_or("");
      if (!folder.resolved.ends_with('/')) folder.resolved += '/';
    }
    if (!folder.inside || (!defaultContainment_ && !pathIsInside_(url, root_))) continue;
    std::string resolved = folder.resolved;
    resolved += name;
    if (resolved.rfind(prefixOfRoot, 0) != 0) {
      throw EngineError::ioError("Path " + resolved + " is not under root " + *resolvedRoot);
    }
    const std::string_view relative = std::string_view(resolved).substr(prefixOfRoot.size());
    if (prefix && !relative.starts_with(*prefix)) continue;
    // Validated as a key would be; the list keeps only the text.
    if (!RepositoryObjectKey::isValid(relative)) (void)RepositoryObjectKey(std::string(relative));
    list.append(relative, static_cast<std::int64_t>(info.st_size));
  }
  if (ec) throw PosixError("readdir", ec.value(), root_.string());
  list.sortAndRemoveDuplicates();
  return list;
}

unsigned LocalRepositoryStorageBackend::preferredTransferConcurrency() const {
  unsigned cores = std::thread::hardware_concurrency();
  return std::clamp(cores, 1u, 8u);
}

}  // namespace tvr
