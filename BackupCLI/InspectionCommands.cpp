#include <nlohmann/json.hpp>

#include "BackupCLI/CommandHandlers.h"
#include "engine/catalog/BackupCatalog.h"
#include "engine/metadata/RepositoryMetadata.h"
#include "engine/metadata/RepositoryPlanIndex.h"
#include "engine/storage/RepositoryRestoreReader.h"
#include "platform/Iso8601.h"

namespace tvr::cli {

// info, list-plans, list-runs: read-only, no recovery password. Output starts only after the
// engine call returned, so a failure never leaves partial output behind.

namespace {

nlohmann::json runJson(const RunInfo& run) {
  nlohmann::json json = {
      {"id", run.id},
      {"planID", run.planID.rawValue()},
      {"runUUID", run.runUUID},
  };
  // A damaged catalog's date that text cannot show is left out.
  if (isRepresentableDate(run.startedAt)) json["startedAt"] = formatISO8601(run.startedAt);
  if (run.finishedAt && isRepresentableDate(*run.finishedAt)) json["finishedAt"] = formatISO8601(*run.finishedAt);
  // The catalog reads a stored status outside the four names as none; such a run has no
  // status to print rather than a made-up one.
  if (run.status) json["status"] = runStatusName(*run.status);
  auto optionalCount = [&json](const char* key, const auto& value) {
    if (value) json[key] = *value;
  };
  optionalCount("filesTotalCount", run.filesTotalCount);
  optionalCount("filesTotalBytes", run.filesTotalBytes);
  optionalCount("filesCopyCount", run.filesCopyCount);
  optionalCount("filesReplaceCount", run.filesReplaceCount);
  optionalCount("filesSkippedCount", run.filesSkippedCount);
  optionalCount("filesDeletedCount", run.filesDeletedCount);
  return json;
}

// A plan named in plans.json or with any run in the catalog, finished or not; a typo is
// neither.
bool planIsKnown(const std::filesystem::path& repository, const std::string& planID) {
  for (const RepositoryPlanSummary& plan : RepositoryPlanIndex::read(repository).plans) {
    if (plan.planID.rawValue() == planID) return true;
  }
  BackupCatalog catalog(repository, std::nullopt, BackupCatalog::OpenMode::readOnly);
  return !catalog.listRuns(PlanID(planID), true).empty();
}

}  // namespace

void runInfo(const std::filesystem::path& repository, const CommandContext& context) {
  std::optional<RepositoryMetadata> metadata = RepositoryMetadata::read(repository);
  if (!metadata) throw repositoryMetadataMissing(repository);
  const RepositoryLayout& layout = metadata->layout;
  if (context.outputFormat == OutputFormat::text) {
    context.output("Repository format: " + std::to_string(metadata->formatVersion));
    context.output("Minimum reader: " + std::to_string(metadata->minimumReaderVersion));
    context.output("Catalog: " + layout.catalogPath);
    context.output("Blobs: " + layout.blobsPath);
    context.output("Blob keys: " + layout.blobKeyAlgorithm);
    return;
  }
  nlohmann::json response = {
      {"schemaVersion", 1},
      {"command", "info"},
      {"repository", repository.string()},
      {"formatVersion", metadata->formatVersion},
      {"minimumReaderVersion", metadata->minimumReaderVersion},
      {"layout",
       {{"catalogPath", layout.catalogPath},
        {"blobsPath", layout.blobsPath},
        {"blobKeyAlgorithm", layout.blobKeyAlgorithm},
        {"checkpointStorage", layout.checkpointStorage}}},
  };
  if (const auto& encryption = metadata->encryption) {
    response["encryption"] = {
        {"version", encryption->version},
        {"blobAlgorithm", encryption->blobAlgorithm},
        {"compressionAlgorithm", encryption->compressionAlgorithm},
        {"keyDerivationAlgorithm", encryption->keyDerivationAlgorithm},
        {"hasRecoveryWrappedKey", encryption->recoveryWrappedKey.has_value()},
    };
  }
  context.output(jsonString(response));
}

void runListPlans(const std::filesystem::path& repository, const CommandContext& context) {
  RepositoryPlanIndex index = RepositoryPlanIndex::read(repository);
  if (context.outputFormat == OutputFormat::text) {
    for (const RepositoryPlanSummary& plan : index.plans) {
      context.output(plan.planID.rawValue() + "\t" + visibleText(plan.name));
    }
    return;
  }
  nlohmann::json plans = nlohmann::json::array();
  for (const RepositoryPlanSummary& plan : index.plans) {
    plans.push_back({{"planID", plan.planID.rawValue()},
                     {"name", plan.name},
                     {"createdAt", formatISO8601(plan.createdAt)},
                     {"updatedAt", formatISO8601(plan.updatedAt)}});
  }
  context.output(jsonString({{"schemaVersion", 1},
                             {"command", "list-plans"},
                             {"repository", repository.string()},
                             {"plans", std::move(plans)}}));
}

void runListRuns(const ParsedOptions& options, const CommandContext& context) {
  std::string planID = requiredPlanID(options);
  std::vector<RunInfo> runs = RepositoryRestoreReader(options.repository(), std::nullopt).listRuns(PlanID(planID));
  if (runs.empty() && !planIsKnown(options.repository(), planID)) {
    throw CLIError("plan_not_found", "repository", "No plan " + planID + " in this repository",
                   "Run `tvr list-plans` to see the plans of the repository.", ExitCode::repository,
                   {{"planID", planID}});
  }
  if (context.outputFormat == OutputFormat::text) {
    for (const RunInfo& run : runs) {
      context.output(std::to_string(run.id) + "\t" +
                     (isRepresentableDate(run.startedAt) ? formatISO8601(run.startedAt) : std::string()) + "\t" +
                     (!run.finishedAt                        ? std::string("unfinished")
                      : isRepresentableDate(*run.finishedAt) ? formatISO8601(*run.finishedAt)
                                                             : std::string()));
    }
    return;
  }
  nlohmann::json list = nlohmann::json::array();
  for (const RunInfo& run : runs) list.push_back(runJson(run));
  context.output(jsonString({{"schemaVersion", 1},
                             {"command", "list-runs"},
                             {"repository", options.repository().string()},
                             {"planID", planID},
                             {"runs", std::move(list)}}));
}

}  // namespace tvr::cli
