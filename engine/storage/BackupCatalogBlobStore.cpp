#include "engine/storage/BackupCatalogBlobStore.h"

#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <system_error>

#include "platform/Error.h"
#include "platform/FileSystem.h"

namespace tvr::BackupCatalogBlobStore {

std::string blobKey(const Bytes& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    throw platformError("BackupCatalogBlobStore", "SHA-256 digest failed.");
  }
  return hexEncode(digest, length);
}

std::filesystem::path blobPath(const std::string& blobKey, const std::filesystem::path& root) {
  return root / "blobs" / blobKey.substr(0, 2) / blobKey;
}

void writeBlobIfNeeded(const Bytes& data, const std::string& blobKey, const std::filesystem::path& root) {
  std::filesystem::path path = blobPath(blobKey, root);
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && static_cast<std::uint64_t>(info.st_size) == data.size()) return;
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);
  if (ec) throw PosixError("mkdir", ec.value(), path.parent_path().string());
  writeFileAtomically(path, data);
}

void removeBlobIfExists(const std::string& blobKey, const std::filesystem::path& root) {
  // Best effort: a manifest blob left behind is only an orphan the verifier reports.
  ::unlink(blobPath(blobKey, root).c_str());
}

}  // namespace tvr::BackupCatalogBlobStore
