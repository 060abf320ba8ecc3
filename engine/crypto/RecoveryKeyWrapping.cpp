#include "engine/crypto/RecoveryKeyWrapping.h"

#include <openssl/evp.h>

#include "engine/crypto/CryptoPrimitives.h"
#include "platform/Error.h"
#include "platform/SecureRandom.h"

namespace tvr {

namespace {

constexpr const char* kDomain = "RecoveryKeyWrapping";

Error wrappingError(const char* message) { return Error(kDomain, 1, message); }

void requireMinimumIterations(std::int64_t iterations) {
  if (iterations < RecoveryKeyWrapping::minimumIterations) {
    throw wrappingError("KDF iterations must be at least 210000.");
  }
}

}  // namespace

std::string RecoveryKeyWrapping::iterationCountMessage(std::int64_t iterations) {
  return "Repository recovery key iteration count " + std::to_string(iterations) +
         " is above the supported maximum of " + std::to_string(maximumUnwrapIterations) + ".";
}

SecretBytes RecoveryKeyWrapping::deriveWrappingKey(std::string_view recoveryPassword, const Bytes& salt,
                                                   std::int64_t iterations) {
  // PKCS5_PBKDF2_HMAC takes the count, the password length and the salt length as int;
  // anything larger would be truncated into a different (weaker) derivation.
  if (iterations < 1 || iterations > maximumIterations ||
      recoveryPassword.size() > static_cast<std::size_t>(maximumIterations) ||
      salt.size() > static_cast<std::size_t>(maximumIterations)) {
    throw wrappingError("Failed to derive recovery wrapping key.");
  }
  Bytes derived(crypto::aesKeySize);
  int status = PKCS5_PBKDF2_HMAC(recoveryPassword.data(), static_cast<int>(recoveryPassword.size()), salt.data(),
                                 static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha256(),
                                 static_cast<int>(derived.size()), derived.data());
  SecretBytes key(std::move(derived));  // wiped on every path from here
  if (status != 1) throw wrappingError("Failed to derive recovery wrapping key.");
  return key;
}

WrappedRepositoryKey RecoveryKeyWrapping::wrap(const RepositoryKeyMaterial& repositoryKey,
                                               std::string_view recoveryPassword, std::int64_t iterations) {
  WrappedRepositoryKey wrapped;
  wrapped.salt = secureRandomBytes(saltSize);
  requireMinimumIterations(iterations);
  SecretBytes wrappingKey = deriveWrappingKey(recoveryPassword, wrapped.salt, iterations);
  crypto::AESGCM cipher(wrappingKey);
  const SecretBytes& raw = repositoryKey.rawData();
  wrapped.wrappedKey = cipher.sealCombined(raw.data(), raw.size(), nullptr, 0);
  wrapped.algorithm = algorithm;
  wrapped.kdf = kdf;
  wrapped.iterations = iterations;
  return wrapped;
}

RepositoryKeyMaterial RecoveryKeyWrapping::unwrap(const WrappedRepositoryKey& wrapped,
                                                  std::string_view recoveryPassword) {
  if (wrapped.algorithm != algorithm || wrapped.kdf != kdf) {
    throw wrappingError("Unsupported wrapped key metadata.");
  }
  requireMinimumIterations(wrapped.iterations);
  if (wrapped.iterations > maximumUnwrapIterations) {
    throw Error(kDomain, 1, iterationCountMessage(wrapped.iterations));
  }
  SecretBytes wrappingKey = deriveWrappingKey(recoveryPassword, wrapped.salt, wrapped.iterations);
  crypto::AESGCM cipher(wrappingKey);
  SecretBytes plaintext(cipher.openCombined(wrapped.wrappedKey.data(), wrapped.wrappedKey.size(), nullptr, 0));
  return RepositoryKeyMaterial(std::move(plaintext));
}

}  // namespace tvr
