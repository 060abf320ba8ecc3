#pragma once

#include <filesystem>
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

// Removes the blob file if present; a failure to remove is ignored.
void removeBlobIfExists(const std::string& blobKey, const std::filesystem::path& root);

}  // namespace BackupCatalogBlobStore
}  // namespace tvr
