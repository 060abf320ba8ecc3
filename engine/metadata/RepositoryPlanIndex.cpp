#include "engine/metadata/RepositoryPlanIndex.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <nlohmann/json.hpp>
#include <optional>
#include <system_error>

#include "engine/crypto/RepositoryPathCodec.h"
#include "engine/metadata/RepositoryMetadata.h"
#include "platform/CanonicalJson.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/JsonDecoding.h"
#include "platform/Unicode.h"

namespace tvr {

namespace {

// The stored index, or nullopt when there is no plans.json. No gate.
std::optional<RepositoryPlanIndex> readStoredIndex(const std::filesystem::path& root) {
  Bytes data;
  try {
    data = readRegularFileBytes(RepositoryPlanIndex::url(root), kMaximumRepositoryDocumentBytes);
  } catch (const PosixError& error) {
    // A missing index is an empty one; every other failure propagates.
    if (error.err() == ENOENT) return std::nullopt;
    throw;
  }
  return RepositoryPlanIndex::decodeDocument(data);
}

}  // namespace

std::filesystem::path RepositoryPlanIndex::url(const std::filesystem::path& root) { return root / fileName; }

RepositoryPlanIndex RepositoryPlanIndex::read(const std::filesystem::path& root) {
  RepositoryMetadata::validateReadableRepository(root);
  std::optional<RepositoryPlanIndex> stored = readStoredIndex(root);
  return stored ? std::move(*stored) : RepositoryPlanIndex{};
}

void RepositoryPlanIndex::write(const RepositoryPlanIndex& index, const std::filesystem::path& root) {
  std::string document = index.encodedDocument();
  createDirectories(root);
  writeFileAtomically(url(root), document);
}

void RepositoryPlanIndex::registerPlan(const PlanID& planID, const std::string& name, std::string_view sourcePath,
                                       std::string_view destinationPath, const RepositoryPlanSettings& settings,
                                       const RepositoryKeyMaterial& keyMaterial, const std::filesystem::path& root,
                                       double now) {
  RepositoryPlanIndex index = read(root);
  // The document keeps whole seconds.
  double timestamp = std::floor(now);

  RepositoryPathCodec codec(keyMaterial);
  RepositoryPlanSummary summary;
  summary.planID = planID;
  summary.name = name;
  summary.sourcePathCiphertext = codec.sealPath(sourcePath);
  summary.destinationPathCiphertext = codec.sealPath(destinationPath);
  summary.settings = settings;
  summary.createdAt = timestamp;
  summary.updatedAt = timestamp;

  auto existing = std::find_if(index.plans.begin(), index.plans.end(),
                               [&](const RepositoryPlanSummary& plan) { return plan.planID == planID; });
  if (existing != index.plans.end()) {
    summary.createdAt = existing->createdAt;
    *existing = std::move(summary);
  } else {
    index.plans.push_back(std::move(summary));
  }

  std::stable_sort(index.plans.begin(), index.plans.end(),
                   [](const RepositoryPlanSummary& a, const RepositoryPlanSummary& b) {
                     return unicode::finderCompare(a.name, b.name) < 0;
                   });
  index.version = currentVersion;
  write(index, root);
}

nlohmann::json RepositoryPlanIndex::toJson() const {
  nlohmann::json entries = nlohmann::json::array();
  for (const RepositoryPlanSummary& plan : plans) entries.push_back(plan.toJson());
  return nlohmann::json{{"version", version}, {"plans", std::move(entries)}};
}

std::string RepositoryPlanIndex::encodedDocument() const { return canonicalJsonString(toJson(), true); }

RepositoryPlanIndex RepositoryPlanIndex::fromJson(const nlohmann::json& value) {
  JsonObjectDecoder decoder(value);
  RepositoryPlanIndex index;
  index.version = decoder.int64("version");
  if (index.version != currentVersion) {
    throw DecodingError(
        DecodingError::Kind::dataCorrupted, "version",
        "Repository plan index version " + std::to_string(index.version) + " is not supported by version 1.");
  }
  const nlohmann::json& entries = decoder.array("plans");
  index.plans.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    index.plans.push_back(RepositoryPlanSummary::fromJson(entries[i], "plans[" + std::to_string(i) + "]"));
  }
  return index;
}

RepositoryPlanIndex RepositoryPlanIndex::decodeDocument(const Bytes& data) { return fromJson(parseJsonDocument(data)); }

}  // namespace tvr
