#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "engine/crypto/RepositoryKeyMaterial.h"
#include "platform/Bytes.h"

namespace tvr {

// The normalised form of a repository-relative path as the catalog records it: for a
// case-insensitive source volume, Unicode NFC followed by root-locale lower-casing; for a
// case-sensitive volume, the path unchanged (no Unicode normalisation either).
std::string normalizedRelPath(std::string_view relPath, bool caseInsensitive);

// Path identifiers (keyed HMAC-SHA256, deterministic) and sealed paths (AES-256-GCM with a
// random nonce: nonce(12) || ciphertext || tag(16), no associated data) under the keys
// derived from one repository key. Immutable value; safe to use from several threads.
// Cipher errors (crypto::CipherError) pass through; openPath throws
// ("RepositoryPathCodec", 1, "Encrypted repository path is not valid UTF-8.").
class RepositoryPathCodec {
 public:
  // Both keys are derived once here: a catalog read opens a million paths.
  explicit RepositoryPathCodec(RepositoryKeyMaterial keyMaterial)
      : keyMaterial_(std::move(keyMaterial)),
        pathIDKey_(keyMaterial_.derivedKey(RepositoryKeyPurpose::pathID)),
        pathEncryptionKey_(keyMaterial_.derivedKey(RepositoryKeyPurpose::pathEncryption)) {}

  const RepositoryKeyMaterial& keyMaterial() const noexcept { return keyMaterial_; }

  // 64 lowercase hex digits of HMAC-SHA256 over the path without leading and trailing "/".
  std::string pathIDForNormalizedPath(std::string_view normalizedPath) const;

  // Sealed form of the path's UTF-8 bytes; different bytes at every call.
  Bytes sealPath(std::string_view path) const;

  // Authenticates and decrypts a sealed path. Shorter than 28 bytes: the cipher's size
  // error; wrong key or altered bytes: the cipher's authentication error.
  std::string openPath(const Bytes& sealed) const;

 private:
  RepositoryKeyMaterial keyMaterial_;
  SecretBytes pathIDKey_;
  SecretBytes pathEncryptionKey_;
};

}  // namespace tvr
