#include "engine/metadata/RepositoryEncryptionMetadata.h"

#include <nlohmann/json.hpp>

#include "engine/crypto/RecoveryKeyWrapping.h"
#include "platform/Error.h"
#include "platform/JsonDecoding.h"

namespace tvr {

namespace {

Error unsupported(const std::string& message) { return Error("RepositoryEncryptionMetadata", 1, message); }

}  // namespace

void RepositoryEncryptionMetadata::validateSupported() const {
  if (version != 1) {
    throw unsupported("Repository encryption version " + std::to_string(version) + " is not supported.");
  }
  if (blobAlgorithm != "AES-256-GCM") {
    throw unsupported("Repository encryption algorithm " + blobAlgorithm + " is not supported.");
  }
  if (compressionAlgorithm != "LZFSE") {
    throw unsupported("Repository compression algorithm " + compressionAlgorithm + " is not supported.");
  }
  if (keyDerivationAlgorithm != "HKDF-SHA256") {
    throw unsupported("Repository key derivation algorithm " + keyDerivationAlgorithm + " is not supported.");
  }
  if (recoveryWrappedKey) {
    const WrappedRepositoryKey& key = *recoveryWrappedKey;
    if (key.iterations > RecoveryKeyWrapping::maximumUnwrapIterations) {
      throw unsupported(RecoveryKeyWrapping::iterationCountMessage(key.iterations));
    }
    if (key.algorithm != "AES-256-GCM" || key.kdf != "PBKDF2-HMAC-SHA256" || key.iterations < 210000 ||
        key.salt.size() < 16) {
      throw unsupported("Repository recovery key metadata is not supported.");
    }
  }
}

nlohmann::json RepositoryEncryptionMetadata::toJson() const {
  nlohmann::json json{{"version", version},
                      {"blobAlgorithm", blobAlgorithm},
                      {"compressionAlgorithm", compressionAlgorithm},
                      {"keyDerivationAlgorithm", keyDerivationAlgorithm}};
  if (recoveryWrappedKey) json["recoveryWrappedKey"] = recoveryWrappedKey->toJson();
  return json;
}

RepositoryEncryptionMetadata RepositoryEncryptionMetadata::fromJson(const nlohmann::json& value,
                                                                    const std::string& codingPath) {
  JsonObjectDecoder decoder(value, codingPath);
  RepositoryEncryptionMetadata metadata;
  metadata.version = decoder.int64("version");
  metadata.blobAlgorithm = decoder.string("blobAlgorithm");
  metadata.compressionAlgorithm = decoder.string("compressionAlgorithm");
  metadata.keyDerivationAlgorithm = decoder.string("keyDerivationAlgorithm");
  if (const nlohmann::json* wrapped = decoder.optional("recoveryWrappedKey")) {
    metadata.recoveryWrappedKey = WrappedRepositoryKey::fromJson(*wrapped, decoder.pathOf("recoveryWrappedKey"));
  }
  return metadata;
}

}  // namespace tvr
