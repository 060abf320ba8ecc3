#include "engine/crypto/RepositoryKeyMaterial.h"

#include <openssl/rand.h>

#include "engine/crypto/CryptoPrimitives.h"
#include "platform/Error.h"

namespace tvr {

RepositoryKeyMaterial::RepositoryKeyMaterial(SecretBytes rawData) : rawData_(std::move(rawData)) {
  if (rawData_.size() != byteCount) {
    throw Error("RepositoryKeyMaterial", 1, "Repository keys must be 32 bytes.");
  }
}

RepositoryKeyMaterial::RepositoryKeyMaterial(const Bytes& rawData) : RepositoryKeyMaterial(SecretBytes(rawData)) {}

RepositoryKeyMaterial RepositoryKeyMaterial::random() {
  Bytes bytes(byteCount);
  int status = RAND_bytes(bytes.data(), static_cast<int>(bytes.size()));
  if (status != 1) {
    secureWipe(bytes.data(), bytes.size());
    throw Error("RepositoryKeyMaterial", status, "Failed to generate secure random bytes.");
  }
  return RepositoryKeyMaterial(SecretBytes(std::move(bytes)));
}

SecretBytes RepositoryKeyMaterial::derivedKey(std::string_view info) const {
  return crypto::hkdfSHA256(rawData_.data(), rawData_.size(), derivationSalt, info, crypto::aesKeySize);
}

}  // namespace tvr
