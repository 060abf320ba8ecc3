#include "engine/storage/RepositoryObjectKey.h"

#include "platform/Error.h"

namespace tvr {

RepositoryObjectKey::RepositoryObjectKey(std::string raw) : raw_(std::move(raw)) {
  if (!isValid(raw_)) throw EngineError::ioError("Invalid repository object key: " + raw_);
}

bool RepositoryObjectKey::isValid(std::string_view raw) noexcept {
  return !raw.empty() && raw.front() != '/' && raw.find("..") == std::string_view::npos;
}

RepositoryObjectKey RepositoryObjectKey::unchecked(std::string raw) {
  return RepositoryObjectKey(Unchecked{}, std::move(raw));
}

bool RepositoryObjectKey::isBlobKey(std::string_view text) noexcept {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

RepositoryObjectKey RepositoryObjectKey::forBlob(std::string_view blobKey) {
  return RepositoryObjectKey("blobs/" + std::string(blobKey.substr(0, 2)) + "/" + std::string(blobKey));
}

std::filesystem::path RepositoryObjectKey::blobPath(const std::filesystem::path& root, std::string_view blobKey) {
  return root / "blobs" / std::string(blobKey.substr(0, 2)) / std::string(blobKey);
}

}  // namespace tvr
