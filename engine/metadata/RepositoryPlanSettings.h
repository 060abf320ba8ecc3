#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>

#include "engine/metadata/CloudFileMaterializationPolicy.h"

namespace tvr {

// A plan's schedule and policy settings as stored in plans.json. The texts are recorded by
// the backup application and not interpreted here. Plain value. fromJson throws
// DecodingError: a settings version other than 2 is a dataCorrupted error on "version"
// reading "Repository plan settings version {version} is not supported by version 2.".
struct RepositoryPlanSettings {
  static constexpr std::int64_t currentVersion = 2;

  std::int64_t version = currentVersion;
  std::string scheduleFrequency;
  std::string scheduleMode;
  std::int64_t scheduleHour = 0;
  std::int64_t scheduleMinute = 0;
  std::int64_t scheduleWeekday = 0;
  std::string powerPolicy;
  std::string networkPolicy;
  CloudFileMaterializationPolicy cloudFilePolicy = CloudFileMaterializationPolicy::treatAsError;
  bool skipExternalSymlinks = false;

  bool operator==(const RepositoryPlanSettings& other) const = default;

  nlohmann::json toJson() const;
  static RepositoryPlanSettings fromJson(const nlohmann::json& value, const std::string& codingPath = {});
};

}  // namespace tvr
