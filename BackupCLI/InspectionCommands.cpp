#include "BackupCLI/CommandHandlers.h"

namespace tvr::cli {

// info, list-plans, list-runs: read-only, no recovery password.

void runInfo(const std::filesystem::path& repository, const CommandContext& context) {
  (void)repository;
  // Engine work lands with the recovery commands.
  // RepositoryMetadata::read(atRoot: repository); absent -> repository_metadata_missing
  // (exit 4, details `repository`); then the five text lines or the InfoResponse.
  engineWorkUnavailable(context.command);
}

void runListPlans(const std::filesystem::path& repository, const CommandContext& context) {
  (void)repository;
  // Engine work lands with the recovery commands.
  // RepositoryPlanIndex::read(atRoot: repository); one "planID\tname" line per plan or the
  // ListPlansResponse.
  engineWorkUnavailable(context.command);
}

void runListRuns(const ParsedOptions& options, const CommandContext& context) {
  std::string planID = requiredPlanID(options);
  (void)planID;
  // Engine work lands with the recovery commands.
  // RepositoryRestoreReader(root, no key material).listRuns(planID); one
  // "id\tstartedAt\tfinishedAt|unfinished" line per run or the ListRunsResponse.
  engineWorkUnavailable(context.command);
}

}  // namespace tvr::cli
