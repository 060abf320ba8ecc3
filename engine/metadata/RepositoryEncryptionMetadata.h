#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>

#include "engine/crypto/WrappedRepositoryKey.h"

namespace tvr {

// The `encryption` section of repo.json: the format's cipher, compression and key
// derivation names and the recovery-wrapped repository key. Plain value; equality compares
// every field. validateSupported throws tvr::Error ("RepositoryEncryptionMetadata", 1, ...);
// fromJson throws DecodingError.
struct RepositoryEncryptionMetadata {
  std::int64_t version = 0;
  std::string blobAlgorithm;
  std::string compressionAlgorithm;
  std::string keyDerivationAlgorithm;
  std::optional<WrappedRepositoryKey> recoveryWrappedKey;

  bool operator==(const RepositoryEncryptionMetadata& other) const = default;

  // The encryption gate: version 1, AES-256-GCM, LZFSE, HKDF-SHA256, and a wrapped key (when
  // present) of AES-256-GCM / PBKDF2-HMAC-SHA256 with >= 210000 iterations and >= 16 salt bytes.
  void validateSupported() const;

  nlohmann::json toJson() const;
  static RepositoryEncryptionMetadata fromJson(const nlohmann::json& value, const std::string& codingPath = {});
};

}  // namespace tvr
