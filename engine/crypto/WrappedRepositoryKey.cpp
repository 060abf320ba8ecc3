#include "engine/crypto/WrappedRepositoryKey.h"

#include <nlohmann/json.hpp>

#include "platform/JsonDecoding.h"

namespace tvr {

nlohmann::json WrappedRepositoryKey::toJson() const {
  return nlohmann::json{{"algorithm", algorithm},
                        {"kdf", kdf},
                        {"iterations", iterations},
                        {"salt", base64Encode(salt)},
                        {"wrappedKey", base64Encode(wrappedKey)}};
}

WrappedRepositoryKey WrappedRepositoryKey::fromJson(const nlohmann::json& value, const std::string& codingPath) {
  JsonObjectDecoder decoder(value, codingPath);
  WrappedRepositoryKey key;
  key.algorithm = decoder.string("algorithm");
  key.kdf = decoder.string("kdf");
  key.iterations = decoder.int64("iterations");
  key.salt = decoder.base64("salt");
  key.wrappedKey = decoder.base64("wrappedKey");
  return key;
}

}  // namespace tvr
