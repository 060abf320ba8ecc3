#include "engine/storage/BackupCatalogBlobStore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <system_error>

#include "engine/crypto/CryptoPrimitives.h"
#include "engine/storage/RepositoryObjectKey.h"
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

void removeBlobIfExists(const std::string& blobKey, const std::filesystem::path& root) {
  // Best effort: a manifest blob left behind is only an orphan the verifier reports.
  ::unlink(blobPath(blobKey, root).c_str());
}

}  // namespace tvr::BackupCatalogBlobStore
