#include "engine/metadata/RepositoryPlanSummary.h"

#include <nlohmann/json.hpp>

#include "engine/crypto/RepositoryPathCodec.h"
#include "platform/Iso8601.h"
#include "platform/JsonDecoding.h"

namespace tvr {

RepositoryPlanPathHints RepositoryPlanSummary::localPathHints(const RepositoryKeyMaterial& keyMaterial) const {
  RepositoryPathCodec codec(keyMaterial);
  RepositoryPlanPathHints hints;
  hints.sourcePath = codec.openPath(sourcePathCiphertext);
  hints.destinationPath = codec.openPath(destinationPathCiphertext);
  return hints;
}

nlohmann::json RepositoryPlanSummary::toJson() const {
  return nlohmann::json{{"planID", planID.rawValue()},
                        {"name", name},
                        {"createdAt", formatISO8601(createdAt)},
                        {"updatedAt", formatISO8601(updatedAt)},
                        {"sourcePathCiphertext", base64Encode(sourcePathCiphertext)},
                        {"destinationPathCiphertext", base64Encode(destinationPathCiphertext)},
                        {"settings", settings.toJson()}};
}

RepositoryPlanSummary RepositoryPlanSummary::fromJson(const nlohmann::json& value, const std::string& codingPath) {
  JsonObjectDecoder decoder(value, codingPath);
  RepositoryPlanSummary summary;
  summary.planID = PlanID(decoder.string("planID"));
  summary.name = decoder.string("name");
  summary.createdAt = decoder.date("createdAt");
  summary.updatedAt = decoder.date("updatedAt");
  summary.sourcePathCiphertext = decoder.base64("sourcePathCiphertext");
  summary.destinationPathCiphertext = decoder.base64("destinationPathCiphertext");
  summary.settings = RepositoryPlanSettings::fromJson(decoder.require("settings"), decoder.pathOf("settings"));
  return summary;
}

}  // namespace tvr
