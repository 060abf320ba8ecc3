#include "engine/metadata/RepositoryLayout.h"

#include <nlohmann/json.hpp>

#include "platform/JsonDecoding.h"

namespace tvr {

RepositoryLayout::RepositoryLayout(std::string catalogPath, std::string blobsPath, std::string blobKeyAlgorithm,
                                   std::string checkpointStorage)
    : catalogPath(std::move(catalogPath)),
      blobsPath(std::move(blobsPath)),
      blobKeyAlgorithm(std::move(blobKeyAlgorithm)),
      checkpointStorage(std::move(checkpointStorage)) {}

RepositoryLayout::RepositoryLayout(bool encrypted)
    : RepositoryLayout("catalog.sqlite", "blobs", encrypted ? "hmac-sha256" : "sha256", "blobs") {}

nlohmann::json RepositoryLayout::toJson() const {
  return nlohmann::json{{"catalogPath", catalogPath},
                        {"blobsPath", blobsPath},
                        {"blobKeyAlgorithm", blobKeyAlgorithm},
                        {"checkpointStorage", checkpointStorage}};
}

RepositoryLayout RepositoryLayout::fromJson(const nlohmann::json& value, const std::string& codingPath) {
  JsonObjectDecoder decoder(value, codingPath);
  RepositoryLayout layout;
  layout.catalogPath = decoder.string("catalogPath");
  layout.blobsPath = decoder.string("blobsPath");
  layout.blobKeyAlgorithm = decoder.string("blobKeyAlgorithm");
  layout.checkpointStorage = decoder.string("checkpointStorage");
  return layout;
}

}  // namespace tvr
