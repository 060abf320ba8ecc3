#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>

#include "platform/Bytes.h"

namespace tvr {

// The recovery-password-wrapped repository key as stored in repo.json: the cipher and KDF
// names, the PBKDF2 iteration count and salt, and nonce(12) || encrypted key || tag(16).
// Plain value; nothing in it is secret without the recovery password. Equality compares
// all five fields byte for byte.
struct WrappedRepositoryKey {
  std::string algorithm;
  std::string kdf;
  std::int64_t iterations = 0;
  Bytes salt;
  Bytes wrappedKey;

  bool operator==(const WrappedRepositoryKey& other) const = default;

  // JSON object with the keys algorithm, kdf, iterations, salt and wrappedKey (the byte
  // strings as standard padded Base64). fromJson throws DecodingError for a missing key,
  // a wrong type or bad Base64; `codingPath` prefixes the key names in its messages.
  nlohmann::json toJson() const;
  static WrappedRepositoryKey fromJson(const nlohmann::json& value, const std::string& codingPath = {});
};

}  // namespace tvr
