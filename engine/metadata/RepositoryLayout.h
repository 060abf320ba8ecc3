#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string>

namespace tvr {

// Where a repository keeps its catalog, blobs and checkpoint manifests, and how blob keys
// are made. Plain value; fromJson throws DecodingError.
struct RepositoryLayout {
  std::string catalogPath;
  std::string blobsPath;
  std::string blobKeyAlgorithm;
  std::string checkpointStorage;

  RepositoryLayout() = default;
  RepositoryLayout(std::string catalogPath, std::string blobsPath, std::string blobKeyAlgorithm,
                   std::string checkpointStorage);
  // The fixed layout, with blob keys "hmac-sha256" when encrypted and "sha256" when not.
  explicit RepositoryLayout(bool encrypted);

  bool operator==(const RepositoryLayout& other) const = default;

  nlohmann::json toJson() const;
  static RepositoryLayout fromJson(const nlohmann::json& value, const std::string& codingPath = {});
};

}  // namespace tvr
