#include "engine/storage/RepositoryObjectKey.h"

#include "platform/Bytes.h"

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

std::optional<RepositoryObjectKey::BlobKeyBytes> RepositoryObjectKey::blobKeyBytes(std::string_view text) noexcept {
  if (!isBlobKey(text)) return std::nullopt;
  auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
  BlobKeyBytes bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(nibble(text[2 * i]) << 4 | nibble(text[2 * i + 1]));
  }
  return bytes;
}

std::string RepositoryObjectKey::blobKeyText(const BlobKeyBytes& bytes) { return hexEncode(bytes.data(), bytes.size()); }

RepositoryObjectKey RepositoryObjectKey::forBlob(std::string_view blobKey) {
  return RepositoryObjectKey("blobs/" + std::string(blobKey.substr(0, 2)) + "/" + std::string(blobKey));
}

std::filesystem::path RepositoryObjectKey::blobPath(const std::filesystem::path& root, std::string_view blobKey) {
  return root / "blobs" / std::string(blobKey.substr(0, 2)) / std::string(blobKey);
}

}  // namespace tvr
