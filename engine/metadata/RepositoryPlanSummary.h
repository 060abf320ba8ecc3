#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string>

#include "engine/metadata/PlanID.h"
#include "engine/metadata/RepositoryPlanSettings.h"
#include "platform/Bytes.h"

namespace tvr {

class RepositoryKeyMaterial;

// The decrypted folder paths of one plan.
struct RepositoryPlanPathHints {
  std::string sourcePath;
  std::string destinationPath;

  bool operator==(const RepositoryPlanPathHints& other) const = default;
};

// One plan's entry in plans.json: its identifier, display name, dates, the two folder paths
// sealed with the path codec, and its settings. Plain value; fromJson throws DecodingError.
struct RepositoryPlanSummary {
  PlanID planID;
  std::string name;
  double createdAt = 0;  // Unix-epoch seconds
  double updatedAt = 0;
  Bytes sourcePathCiphertext;
  Bytes destinationPathCiphertext;
  RepositoryPlanSettings settings;

  bool operator==(const RepositoryPlanSummary& other) const = default;

  // Opens the source path, then the destination path; the first failure (the cipher's
  // authentication or size error, or the path codec's UTF-8 error) is thrown unchanged.
  RepositoryPlanPathHints localPathHints(const RepositoryKeyMaterial& keyMaterial) const;

  nlohmann::json toJson() const;
  static RepositoryPlanSummary fromJson(const nlohmann::json& value, const std::string& codingPath = {});
};

}  // namespace tvr
