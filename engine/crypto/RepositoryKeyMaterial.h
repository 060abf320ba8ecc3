#pragma once

#include <cstddef>
#include <string_view>

#include "platform/Bytes.h"

namespace tvr {

// HKDF purpose labels of the four sub-keys derived from a repository key.
namespace RepositoryKeyPurpose {
inline constexpr std::string_view pathID = "tovarine.path-id.v1";
inline constexpr std::string_view pathEncryption = "tovarine.path-encryption.v1";
inline constexpr std::string_view blobKey = "tovarine.blob-key.v1";
inline constexpr std::string_view blobEncryption = "tovarine.blob-encryption.v1";
}  // namespace RepositoryKeyPurpose

// The 32-byte repository key from which every sub-key is derived. A value always holds
// exactly 32 bytes, kept in SecretBytes and wiped when dropped. Immutable, so safe to share
// between threads. Throws tvr::Error of domain "RepositoryKeyMaterial".
class RepositoryKeyMaterial {
 public:
  static constexpr std::size_t byteCount = 32;
  // HKDF salt of every derivation.
  static constexpr std::string_view derivationSalt = "tovarine.repository.v1";

  // Throws ("RepositoryKeyMaterial", 1, "Repository keys must be 32 bytes.") for any other length.
  explicit RepositoryKeyMaterial(SecretBytes rawData);
  explicit RepositoryKeyMaterial(const Bytes& rawData);

  // 32 bytes from the secure random generator; a generator failure throws
  // ("RepositoryKeyMaterial", <status>, "Failed to generate secure random bytes.").
  static RepositoryKeyMaterial random();

  const SecretBytes& rawData() const noexcept { return rawData_; }

  // HKDF-SHA256(ikm: rawData, salt: derivationSalt, info: label), 32 bytes. Computed afresh
  // at each call; the caller drops it after use. Cipher failures pass through.
  SecretBytes derivedKey(std::string_view info) const;

  bool operator==(const RepositoryKeyMaterial& other) const { return rawData_ == other.rawData_; }

 private:
  SecretBytes rawData_;
};

}  // namespace tvr
