#include "engine/metadata/RepositoryPlanSettings.h"

#include <nlohmann/json.hpp>

#include "platform/JsonDecoding.h"

namespace tvr {

nlohmann::json RepositoryPlanSettings::toJson() const {
  return nlohmann::json{{"version", version},
                        {"scheduleFrequency", scheduleFrequency},
                        {"scheduleMode", scheduleMode},
                        {"scheduleHour", scheduleHour},
                        {"scheduleMinute", scheduleMinute},
                        {"scheduleWeekday", scheduleWeekday},
                        {"powerPolicy", powerPolicy},
                        {"networkPolicy", networkPolicy},
                        {"cloudFilePolicy", std::string(toString(cloudFilePolicy))},
                        {"skipExternalSymlinks", skipExternalSymlinks}};
}

RepositoryPlanSettings RepositoryPlanSettings::fromJson(const nlohmann::json& value, const std::string& codingPath) {
  JsonObjectDecoder decoder(value, codingPath);
  RepositoryPlanSettings settings;
  settings.version = decoder.int64("version");
  if (settings.version != currentVersion) {
    throw DecodingError(
        DecodingError::Kind::dataCorrupted, decoder.pathOf("version"),
        "Repository plan settings version " + std::to_string(settings.version) + " is not supported by version 2.");
  }
  settings.scheduleFrequency = decoder.string("scheduleFrequency");
  settings.scheduleMode = decoder.string("scheduleMode");
  settings.scheduleHour = decoder.int64("scheduleHour");
  settings.scheduleMinute = decoder.int64("scheduleMinute");
  settings.scheduleWeekday = decoder.int64("scheduleWeekday");
  settings.powerPolicy = decoder.string("powerPolicy");
  settings.networkPolicy = decoder.string("networkPolicy");
  auto policy = cloudFileMaterializationPolicyFromString(decoder.string("cloudFilePolicy"));
  if (!policy) {
    throw decoder.corrupted("cloudFilePolicy", "is not one of treatAsError, skip, materialize");
  }
  settings.cloudFilePolicy = *policy;
  settings.skipExternalSymlinks = decoder.boolean("skipExternalSymlinks");
  return settings;
}

}  // namespace tvr
