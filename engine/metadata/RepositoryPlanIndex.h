#pragma once

#include <cstdint>
#include <filesystem>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "engine/metadata/PlanID.h"
#include "engine/metadata/RepositoryPlanSettings.h"
#include "engine/metadata/RepositoryPlanSummary.h"
#include "platform/Bytes.h"
#include "platform/Iso8601.h"

namespace tvr {

class RepositoryKeyMaterial;

// The public plan index plans.json beside repo.json: the plans of a repository, ordered by
// display name. Plain value; the static operations are stateless and not locked (two
// concurrent registerPlan calls can lose one update).
// Throws: the read gate's errors (RepositoryMetadata), DecodingError (a version other than 1
// is a dataCorrupted error on "version" reading "Repository plan index version {version} is
// not supported by version 1."), PosixError, and the path codec's errors.
struct RepositoryPlanIndex {
  static constexpr std::string_view fileName = "plans.json";
  static constexpr std::int64_t currentVersion = 1;

  std::int64_t version = currentVersion;
  std::vector<RepositoryPlanSummary> plans;

  bool operator==(const RepositoryPlanIndex& other) const = default;

  static std::filesystem::path url(const std::filesystem::path& root);

  // Applies RepositoryMetadata::validateReadableRepository first. A missing plans.json reads
  // as an empty index of version 1.
  static RepositoryPlanIndex read(const std::filesystem::path& root);

  // Writes plans.json atomically, creating the root folder when missing.
  static void write(const RepositoryPlanIndex& index, const std::filesystem::path& root);

  // Inserts or updates (same planID, exact text) one plan with freshly sealed paths, keeps an
  // existing entry's createdAt, sets updatedAt to `now` (whole seconds), orders the plans by
  // name as a file browser does (stable) and writes the index. A failure leaves the previous
  // plans.json as it was.
  static void registerPlan(const PlanID& planID, const std::string& name, std::string_view sourcePath,
                           std::string_view destinationPath, const RepositoryPlanSettings& settings,
                           const RepositoryKeyMaterial& keyMaterial, const std::filesystem::path& root,
                           double now = nowUnixSeconds());

  nlohmann::json toJson() const;
  std::string encodedDocument() const;
  static RepositoryPlanIndex fromJson(const nlohmann::json& value);
  static RepositoryPlanIndex decodeDocument(const Bytes& data);
};

}  // namespace tvr
