#include "engine/s3/S3StorageConfiguration.h"

#include <nlohmann/json.hpp>

#include "platform/Error.h"

namespace tvr {

S3StorageConfiguration S3StorageConfiguration::make(std::string bucket, std::string region,
                                                    std::optional<std::string> endpointURL, std::string accessKeyID,
                                                    std::string secretAccessKey,
                                                    std::optional<std::string> sessionToken,
                                                    std::optional<bool> usePathStyle) {
  S3StorageConfiguration configuration;
  configuration.usePathStyle = usePathStyle.value_or(endpointURL.has_value());
  configuration.bucket = std::move(bucket);
  configuration.region = std::move(region);
  configuration.endpointURL = std::move(endpointURL);
  configuration.accessKeyID = std::move(accessKeyID);
  configuration.secretAccessKey = std::move(secretAccessKey);
  configuration.sessionToken = std::move(sessionToken);
  return configuration;
}

nlohmann::ordered_json S3StorageConfiguration::toJSON() const {
  nlohmann::ordered_json json;
  json["bucket"] = bucket;
  json["region"] = region;
  if (endpointURL) json["endpointURL"] = *endpointURL;
  json["accessKeyID"] = accessKeyID;
  json["secretAccessKey"] = secretAccessKey;
  if (sessionToken) json["sessionToken"] = *sessionToken;
  json["usePathStyle"] = usePathStyle;
  return json;
}

namespace {
Error decodingError(const std::string& message) { return Error("S3StorageConfiguration", 1, message); }

std::string requiredString(const nlohmann::json& json, const char* key) {
  auto it = json.find(key);
  if (it == json.end()) throw decodingError(std::string("Missing key \"") + key + "\".");
  if (!it->is_string()) throw decodingError(std::string("Key \"") + key + "\" is not a string.");
  return it->get<std::string>();
}

std::optional<std::string> optionalString(const nlohmann::json& json, const char* key) {
  auto it = json.find(key);
  if (it == json.end() || it->is_null()) return std::nullopt;
  if (!it->is_string()) throw decodingError(std::string("Key \"") + key + "\" is not a string.");
  return it->get<std::string>();
}
}  // namespace

S3StorageConfiguration S3StorageConfiguration::fromJSON(const nlohmann::json& json) {
  if (!json.is_object()) throw decodingError("S3 storage configuration is not an object.");
  S3StorageConfiguration configuration;
  configuration.bucket = requiredString(json, "bucket");
  configuration.region = requiredString(json, "region");
  configuration.endpointURL = optionalString(json, "endpointURL");
  configuration.accessKeyID = requiredString(json, "accessKeyID");
  configuration.secretAccessKey = requiredString(json, "secretAccessKey");
  configuration.sessionToken = optionalString(json, "sessionToken");
  auto style = json.find("usePathStyle");
  if (style == json.end()) throw decodingError("Missing key \"usePathStyle\".");
  if (!style->is_boolean()) throw decodingError("Key \"usePathStyle\" is not a boolean.");
  configuration.usePathStyle = style->get<bool>();
  return configuration;
}

}  // namespace tvr
