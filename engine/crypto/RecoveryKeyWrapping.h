#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/crypto/RepositoryKeyMaterial.h"
#include "engine/crypto/WrappedRepositoryKey.h"
#include "platform/Bytes.h"

namespace tvr {

// Wraps the repository key under a key derived from the recovery password
// (PBKDF2-HMAC-SHA256, then AES-256-GCM) and unwraps it again. Stateless and safe on any
// thread. Throws tvr::Error of domain "RecoveryKeyWrapping" (code 1); a wrong password or an
// altered record shows only as the cipher's crypto::CipherError; a decrypted key of the
// wrong length as the "RepositoryKeyMaterial" error.
class RecoveryKeyWrapping {
 public:
  RecoveryKeyWrapping() = delete;

  static constexpr std::int64_t defaultIterations = 210000;
  static constexpr std::int64_t minimumIterations = 210000;
  // The largest count the PBKDF2 call takes without truncating it (a C int).
  static constexpr std::int64_t maximumIterations = 2147483647;
  // The largest count a reader derives with: a stored count above it would take hours and
  // is damage or a trap, refused before anything is derived.
  static constexpr std::int64_t maximumUnwrapIterations = 100000000;
  static constexpr std::size_t saltSize = 16;

  static constexpr std::string_view algorithm = "AES-256-GCM";
  static constexpr std::string_view kdf = "PBKDF2-HMAC-SHA256";

  // Fresh random salt and nonce at every call. Below minimumIterations:
  // "KDF iterations must be at least 210000."; a count PBKDF2 cannot take:
  // "Failed to derive recovery wrapping key.".
  static WrappedRepositoryKey wrap(const RepositoryKeyMaterial& repositoryKey, std::string_view recoveryPassword,
                                   std::int64_t iterations = defaultIterations);

  // The password is used byte for byte as given (no normalisation, no trimming).
  // Other algorithm or kdf names: "Unsupported wrapped key metadata."; an iteration count
  // above maximumUnwrapIterations: "Repository recovery key iteration count N is above the
  // supported maximum of 100000000." (both before anything is derived).
  static RepositoryKeyMaterial unwrap(const WrappedRepositoryKey& wrapped, std::string_view recoveryPassword);
  static std::string iterationCountMessage(std::int64_t iterations);

  // The wrapping-key derivation both operations use: PBKDF2-HMAC-SHA256 over the password's
  // bytes, 32 bytes of output. Checks only that PBKDF2 can take the count; a failure is
  // "Failed to derive recovery wrapping key.". Public so it can be checked against
  // published vectors.
  static SecretBytes deriveWrappingKey(std::string_view recoveryPassword, const Bytes& salt, std::int64_t iterations);
};

}  // namespace tvr
