#include "engine/storage/BackupCatalogBlobStore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "engine/crypto/CryptoPrimitives.h"
#include "engine/storage/RepositoryObjectKey.h"
#include "platform/AtomicFileWriter.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"

namespace tvr::BackupCatalogBlobStore {

std::string blobKey(const Bytes& data) { return crypto::sha256Hex(data); }

std::filesystem::path blobPath(const std::string& blobKey, const std::filesystem::path& root) {
  return RepositoryObjectKey::blobPath(root, blobKey);
}

void writeBlobIfNeeded(const Bytes& data, const std::string& blobKey, const std::filesystem::path& root) {
  std::filesystem::path path = blobPath(blobKey, root);
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && static_cast<std::uint64_t>(info.st_size) == data.size()) return;
  createDirectories(path.parent_path());
  writeFileAtomically(path, data);
}

std::string writeBlobStreamed(const std::filesystem::path& root,
                              const std::function<std::string(int fd, const std::filesystem::path& temporary)>& write) {
  // Named after no key yet, in blobs/ itself: beside every possible destination, in the same
  // file system, and skipped by listings as a dot file.
  AtomicFileWriter::TemporaryFile file(AtomicFileWriter::temporaryURL(root / "blobs" / "manifest"), {},
                                       AtomicFileWriter::Durability::synchronized,
                                       AtomicFileWriter::Completion::notCounted);
  std::string key = write(file.fd(), file.path());
  struct stat written {};
  if (::fstat(file.fd(), &written) != 0) throw PosixError("fstat", errno, file.path().string());
  std::filesystem::path path = blobPath(key, root);
  struct stat existing {};
  if (::stat(path.c_str(), &existing) == 0 && existing.st_size == written.st_size) return key;
  createDirectories(path.parent_path());
  file.close();
  file.moveIntoPlace(path);
  return key;
}

void removeBlobIfExists(const std::string& blobKey, const std::filesystem::path& root) {
  // Best effort: a manifest blob left behind is only an orphan the verifier reports.
  ::unlink(blobPath(blobKey, root).c_str());
}

}  // namespace tvr::BackupCatalogBlobStore
