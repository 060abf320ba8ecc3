#include "engine/storage/RepositoryRestoreReader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <deque>
#include <exception>
#include <memory>
#include <system_error>
#include <utility>

#include "engine/crypto/CryptoPrimitives.h"
#include "engine/crypto/EncryptedBlobCodec.h"
#include "engine/storage/RepositoryObjectKey.h"
#include "platform/AtomicFileWriter.h"
#include "platform/TemporaryFiles.h"
#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"

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
void writeCheckedContent(const fs::path& root, const EncryptedBlobCodec& codec, const SnapshotEntry& entry,
                         const fs::path& destination) {
  const std::string& blobKey = *entry.blobKey;
  const fs::path blobFile = blobPath(root, blobKey);
  OpenFile blob = openBlob(blobFile, blobKey);
  // Listed while it exists, so an interrupt removes it and progress sees it grow; removed
  // on every failure.
  AtomicFileWriter::TemporaryFile out(AtomicFileWriter::temporaryURL(destination), destination,
                                      AtomicFileWriter::Durability::unsynchronized);
  crypto::HMACSHA256 mac(codec.keyMaterial().derivedKey(RepositoryKeyPurpose::blobKey));
  std::uint64_t byteCount = 0;
  std::exception_ptr writeFailure;
  try {
    codec.openStream(blob.get(), blobFile, [&](const std::uint8_t* data, std::size_t size) {
      mac.update(data, size);
      byteCount += size;
      try {
        writeFully(out.fd(), data, size, out.path());
      } catch (...) {
        writeFailure = std::current_exception();
        throw;
      }
    });
  } catch (const Error& error) {
    if (writeFailure) std::rethrow_exception(writeFailure);
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

  fs::path destination(const std::string& relativePath) const {
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

    if (!insideRoot(resolvedPath(candidate.parent_path()))) throw escapeError(relativePath);
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
};

}  // namespace

RepositoryRestoreReader::RepositoryRestoreReader(fs::path root,
                                                 std::optional<RepositoryKeyMaterial> repositoryKeyMaterial)
    : root_(std::move(root)), keyMaterial_(std::move(repositoryKeyMaterial)) {}

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
                         std::int64_t runID, const fs::path& destination, bool overwrite, Resolve&& resolve) {
  RepositoryRestoreReader::ensureRestoreDestinationIsWritable(destination, overwrite);
  createDirectories(destination.parent_path());
  const std::optional<SnapshotEntry> entry = resolve();
  if (!entry || !entry->blobKey) throw noFileError(relPathNorm, runID);
  writeCheckedContent(root, codec, *entry, destination);
  applyCatalogDates(destination, *entry);
}

bool isUnrecoverableContent(const Error& error) {
  return error.domain() == kRepositoryRestoreReaderErrorDomain &&
         error.code() == RepositoryRestoreReader::unrecoverableContentCode;
}

}  // namespace

void RepositoryRestoreReader::restoreFile(const PlanID& planID, std::int64_t runID, const std::string& relPathNorm,
                                          const fs::path& destination, bool overwrite) const {
  if (!keyMaterial_) throw readerError(kNoKeyMaterialMessage);
  const EncryptedBlobCodec codec(*keyMaterial_);
  restoreResolvedFile(root_, codec, relPathNorm, runID, destination, overwrite, [&] {
    BackupCatalog catalog(root_, keyMaterial_, BackupCatalog::OpenMode::readOnly);
    return catalog.snapshotFileEntry(planID, runID, relPathNorm);
  });
}

ExportReport RepositoryRestoreReader::exportRun(const PlanID& planID, std::int64_t runID, const fs::path& destination,
                                                bool overwrite) const {
  ensureExportDestinationIsWritable(destination, overwrite);
  createDirectories(destination);
  const RestoreSnapshot snapshot = loadSnapshot(planID, runID);
  std::optional<EncryptedBlobCodec> codec;
  if (keyMaterial_) codec.emplace(*keyMaterial_);
  const ExportConfinement confinement(destination);
  ExportReport report;
  snapshot.walk(std::nullopt, [&](const SnapshotEntry& child) {
    const fs::path target = confinement.destination(child.relPath);
    if (child.kind == SnapshotKind::directory) {
      createDirectories(target);
      return;
    }
    if (!codec) throw readerError(kNoKeyMaterialMessage);
    try {
      restoreResolvedFile(root_, *codec, child.relPathNorm, runID, target, overwrite,
                          [&]() -> std::optional<SnapshotEntry> {
                            const SnapshotEntry* entry = snapshot.fileEntry(child.relPathNorm);
                            if (!entry) return std::nullopt;
                            return *entry;
                          });
    } catch (const Error& error) {
      // One damaged file must not cost the rest of the run; everything else stops the export.
      if (!isUnrecoverableContent(error)) throw;
      report.failures.push_back({child.relPath, child.relPathNorm, error.message()});
    }
  });
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
  const RestoreSnapshot snapshot = loadSnapshot(planID, runID);
  const SnapshotEntry* entry = snapshot.firstFile(relPathNorm);
  if (!entry) return std::nullopt;
  return *entry;
}

void RepositoryRestoreReader::ensureRestoreDestinationIsWritable(const fs::path& destination, bool overwrite) {
  if (overwrite) return;
  if (itemExistsNoFollow(destination)) {
    throw readerError("Refusing to overwrite existing destination: " + destination.string() + ".");
  }
}

void RepositoryRestoreReader::ensureExportDestinationIsWritable(const fs::path& destination, bool overwrite) {
  if (overwrite) return;
  struct stat status {};
  if (::lstat(destination.c_str(), &status) != 0) {
    if (errno == ENOENT) return;
    throw PosixError("lstat", errno, destination.string());
  }
  // A link to a directory counts as that directory; anything else (a dangling link too)
  // is an existing file.
  struct stat target {};
  if (::stat(destination.c_str(), &target) != 0 || !S_ISDIR(target.st_mode)) {
    throw readerError("Refusing to export into existing file: " + destination.string() + ".");
  }
  std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(destination.c_str()), ::closedir);
  if (!directory) throw PosixError("opendir", errno, destination.string());
  for (;;) {
    errno = 0;
    const struct dirent* item = ::readdir(directory.get());
    if (!item) {
      if (errno != 0) throw PosixError("readdir", errno, destination.string());
      return;
    }
    const std::string_view name(item->d_name);
    if (name != "." && name != "..") {
      throw readerError("Refusing to export into non-empty destination: " + destination.string() + ".");
    }
  }
}

fs::path RepositoryRestoreReader::confinedExportDestination(const fs::path& root, const std::string& relativePath) {
  return ExportConfinement(root).destination(relativePath);
}

}  // namespace tvr
