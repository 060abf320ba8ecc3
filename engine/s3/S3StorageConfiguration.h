#pragma once

#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>

namespace tvr {

// Connection settings of one S3-compatible bucket. A plain value: copyable, compared field by
// field, safe to share between threads once built. It holds the secret access key in clear;
// nothing here prints it, and whoever stores the coded form must protect it.
struct S3StorageConfiguration {
  std::string bucket;
  std::string region;
  std::optional<std::string> endpointURL;  // absent: the provider's regional endpoint
  std::string accessKeyID;
  std::string secretAccessKey;
  std::optional<std::string> sessionToken;  // sent only when present and not empty
  bool usePathStyle = false;

  // `usePathStyle` defaults to true exactly when an endpoint is given: custom endpoints are
  // usually path-style services, the provider's own endpoint takes the bucket in the host.
  static S3StorageConfiguration make(std::string bucket, std::string region, std::optional<std::string> endpointURL,
                                     std::string accessKeyID, std::string secretAccessKey,
                                     std::optional<std::string> sessionToken = std::nullopt,
                                     std::optional<bool> usePathStyle = std::nullopt);

  // The coded form: keys "bucket", "region", "endpointURL", "accessKeyID", "secretAccessKey",
  // "sessionToken", "usePathStyle" in that order; the two optional ones are left out when absent.
  nlohmann::ordered_json toJSON() const;
  // Every key but the two optional ones is required ("usePathStyle" too). Throws
  // tvr::Error (domain "S3StorageConfiguration") naming the missing or mistyped key.
  static S3StorageConfiguration fromJSON(const nlohmann::json& json);

  bool operator==(const S3StorageConfiguration& other) const = default;
};

}  // namespace tvr
