#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "platform/Bytes.h"

namespace tvr {

// Where the catalog keeps checkpoint manifests: ordinary blobs under root/blobs/<xx>/<key>.
// Stateless. Write failures throw PosixError.
namespace BackupCatalogBlobStore {

// SHA-256 of the bytes as 64 lowercase hexadecimal digits.
std::string blobKey(const Bytes& data);

// root / "blobs" / first two characters of the key / key.
std::filesystem::path blobPath(const std::string& blobKey, const std::filesystem::path& root);

// Stores the bytes at the key's blob path unless a file of exactly that size is there.
void writeBlobIfNeeded(const Bytes& data, const std::string& blobKey, const std::filesystem::path& root);

// Stores a blob whose key is known only once it is written: `write(fd, temporary)` fills a new
// temporary file in root/blobs (listed in TemporaryFiles, so an interrupted process removes
// it) and returns the key of what it wrote (the SHA-256 of those bytes, as blobKey gives it).
// The file is then flushed and moved to the key's blob path, unless a file of exactly its
// size is there already, which is kept. On any failure the temporary file is removed and the
// error passes through. Returns the key.
std::string writeBlobStreamed(const std::filesystem::path& root,
                              const std::function<std::string(int fd, const std::filesystem::path& temporary)>& write);

// Removes the blob file if present; a failure to remove is ignored.
void removeBlobIfExists(const std::string& blobKey, const std::filesystem::path& root);

}  // namespace BackupCatalogBlobStore
}  // namespace tvr
