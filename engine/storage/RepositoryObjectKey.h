#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tvr {

// A "/"-separated object name relative to a repository root ("repo.json",
// "blobs/ab/ab12..."). The validating constructor rejects the empty string, a leading "/"
// and any ".." (also inside a component) with EngineError.ioError
// "Invalid repository object key: " + raw; `unchecked` wraps a string without checking.
class RepositoryObjectKey {
 public:
  explicit RepositoryObjectKey(std::string raw);
  static RepositoryObjectKey unchecked(std::string raw);
  // Whether the validating constructor would accept `raw`.
  static bool isValid(std::string_view raw) noexcept;

  // Blob keys are 64 lowercase hexadecimal digits (a SHA-256 or HMAC-SHA256 in hex).
  static bool isBlobKey(std::string_view text) noexcept;
  // A blob key as the 32 bytes it spells (lowercase hex sorts like its bytes), for holding
  // millions of keys compactly; nothing for a text that is not a blob key.
  using BlobKeyBytes = std::array<std::uint8_t, 32>;
  static std::optional<BlobKeyBytes> blobKeyBytes(std::string_view text) noexcept;
  static std::string blobKeyText(const BlobKeyBytes& bytes);
  // Where every backend keeps a blob: "blobs/<first two characters>/<key>", checked as an
  // object key (not as a blob key: callers holding untrusted keys test isBlobKey first).
  static RepositoryObjectKey forBlob(std::string_view blobKey);
  // The blob's file under a local repository root: root / "blobs" / <first two> / <key>.
  static std::filesystem::path blobPath(const std::filesystem::path& root, std::string_view blobKey);

  const std::string& rawValue() const noexcept { return raw_; }
  const std::string& description() const noexcept { return raw_; }

  bool operator==(const RepositoryObjectKey& other) const = default;
  auto operator<=>(const RepositoryObjectKey& other) const = default;

 private:
  struct Unchecked {};
  RepositoryObjectKey(Unchecked, std::string raw) : raw_(std::move(raw)) {}
  std::string raw_;
};

}  // namespace tvr

template <>
struct std::hash<tvr::RepositoryObjectKey> {
  std::size_t operator()(const tvr::RepositoryObjectKey& key) const noexcept {
    return std::hash<std::string>()(key.rawValue());
  }
};
