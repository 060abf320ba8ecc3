#include <nlohmann/json.hpp>

#include "BackupCLI/CLIInputValidation.h"
#include "BackupCLI/CommandHandlers.h"
#include "BackupCLI/RecoveryPassword.h"
#include "engine/catalog/BackupCatalog.h"
#include "engine/storage/RepositoryIntegrityVerifier.h"
#include "engine/storage/RepositoryRestoreReader.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"

namespace tvr::cli {

// verify, restore, export. The write commands refuse existing destinations before any
// write unless --overwrite true is given, and print JSON only for dry runs and refusals.

namespace {

// --path for restore: required and a safe repository-relative path.
std::string requiredRepositoryPath(const ParsedOptions& options) {
  std::string path = options.requiredValue("--path");
  CLIInputValidation::validateRepositoryRelativePath(path, "--path");
  return path;
}

void restoreDryRun(const std::filesystem::path& repository, const std::string& planID, std::int64_t runID,
                   const std::string& path, const std::filesystem::path& destination, bool overwrite,
                   std::optional<RepositoryKeyMaterial> key, const CommandContext& context) {
  ensureRestoreDestinationIsWritable(destination, overwrite);
  // Exact match on the normalised path, found in one snapshot build of the run.
  std::optional<SnapshotEntry> file =
      RepositoryRestoreReader(repository, std::move(key)).findFile(PlanID(planID), runID, path);
  if (!file || !file->blobKey) {
    throw CLIError("repository_item_not_found", "repository", "No file at " + path + " in run " + std::to_string(runID),
                   "Use `tvr list` or `tvr search` to find a restorable file path.", ExitCode::repository,
                   {{"path", path}, {"runID", std::to_string(runID)}});
  }
  if (context.outputFormat == OutputFormat::text) {
    context.output("Dry run: restore " + path + " to " + destination.string());
    return;
  }
  context.output(jsonString({
      {"schemaVersion", 1},
      {"command", "restore"},
      {"dryRun", true},
      {"repository", repository.string()},
      {"planID", planID},
      {"runID", runID},
      {"path", path},
      {"destination", destination.string()},
      {"overwrite", overwrite},
      {"file", snapshotEntryJson(*file)},
  }));
}

void exportDryRun(const std::filesystem::path& repository, const std::string& planID, std::int64_t runID,
                  const std::filesystem::path& destination, bool overwrite, std::optional<RepositoryKeyMaterial> key,
                  const CommandContext& context) {
  ensureExportDestinationIsWritable(destination, overwrite);
  std::vector<SnapshotEntry> entries =
      RepositoryRestoreReader(repository, std::move(key)).allEntries(PlanID(planID), runID, std::nullopt);
  std::int64_t fileCount = 0;
  std::int64_t directoryCount = 0;
  for (const SnapshotEntry& entry : entries) {
    (entry.kind == SnapshotKind::directory ? directoryCount : fileCount) += 1;
  }
  if (context.outputFormat == OutputFormat::text) {
    context.output("Dry run: export run " + std::to_string(runID) + " to " + destination.string());
    context.output("Files: " + std::to_string(fileCount));
    context.output("Directories: " + std::to_string(directoryCount));
    return;
  }
  context.output(jsonString({
      {"schemaVersion", 1},
      {"command", "export"},
      {"dryRun", true},
      {"repository", repository.string()},
      {"planID", planID},
      {"runID", runID},
      {"destination", destination.string()},
      {"overwrite", overwrite},
      {"fileCount", fileCount},
      {"directoryCount", directoryCount},
      {"entryCount", static_cast<std::int64_t>(entries.size())},
  }));
}

}  // namespace

void ensureRestoreDestinationIsWritable(const std::filesystem::path& destination, bool overwrite) {
  if (overwrite || !itemExists(destination)) return;
  throw confirmationRequired(
      "restore", destination, "destination_exists", "overwrite",
      "Refusing to overwrite existing destination: " + destination.string() + ". Pass --overwrite true to replace it.",
      "Rerun with --overwrite true only if replacing the destination is intended.");
}

void ensureExportDestinationIsWritable(const std::filesystem::path& destination, bool overwrite) {
  if (overwrite) return;
  switch (destinationState(destination)) {
    case DestinationState::absent:
    case DestinationState::emptyDirectory:
      return;
    case DestinationState::file:
      throw confirmationRequired("export", destination, "destination_file_exists", "overwrite",
                                 "Refusing to export into existing file: " + destination.string() +
                                     ". Pass --overwrite true to replace matching files.",
                                 "Rerun with --overwrite true only if replacing the destination is intended.");
    case DestinationState::nonEmptyDirectory:
      throw confirmationRequired("export", destination, "destination_not_empty", "merge_or_overwrite",
                                 "Refusing to export into non-empty destination: " + destination.string() +
                                     ". Pass --overwrite true to replace matching files.",
                                 "Rerun with --overwrite true only if merging into the destination is intended.");
  }
}

void runVerify(const ParsedOptions& options, const CommandContext& context) {
  std::optional<RepositoryKeyMaterial> key =
      requiredRepositoryKeyMaterial(options.repository(), options, context.environment);
  RepositoryIntegrityReport report;
  try {
    report = RepositoryIntegrityVerifier(std::move(key)).verify(options.repository());
  } catch (const Error& error) {
    if (error.domain() != kRepositoryIntegrityVerifierErrorDomain ||
        error.code() != RepositoryIntegrityVerifier::catalogDamagedCode) {
      throw;
    }
    throw CLIError("catalog_damaged", "repository_integrity", error.message(),
                   "Copy or hydrate the repository again from another source; runs the damage does not reach may "
                   "still restore.",
                   ExitCode::repositoryIntegrity);
  }

  if (context.outputFormat == OutputFormat::text) {
    context.output("Referenced blobs: " + std::to_string(report.referencedBlobCount));
    context.output("Stored blobs: " + std::to_string(report.storedBlobCount));
    context.output("Issues: " + std::to_string(report.issues.size()));
    for (const RepositoryIntegrityIssue& issue : report.issues) {
      context.output(repositoryIntegrityIssueKindName(issue.kind) + " " + issue.blobKey);
    }
  } else {
    nlohmann::json issues = nlohmann::json::array();
    for (const RepositoryIntegrityIssue& issue : report.issues) {
      nlohmann::json item = {{"kind", repositoryIntegrityIssueKindName(issue.kind)}, {"blobKey", issue.blobKey}};
      if (issue.path) item["path"] = *issue.path;
      issues.push_back(std::move(item));
    }
    context.output(jsonString({
        {"schemaVersion", 1},
        {"command", "verify"},
        {"repository", options.repository().string()},
        {"referencedBlobCount", report.referencedBlobCount},
        {"storedBlobCount", report.storedBlobCount},
        {"issueCount", report.issues.size()},
        {"healthy", report.isHealthy()},
        {"issues", std::move(issues)},
    }));
  }
  // Only after the report went out, so a caller always sees what is wrong.
  if (!report.isHealthy()) {
    throw CLIError("repository_integrity_failed", "repository_integrity", "Repository integrity check failed",
                   "Inspect the verify output for missing, corrupt, or orphaned blobs before restoring.",
                   ExitCode::repositoryIntegrity, {{"issueCount", std::to_string(report.issues.size())}});
  }
}

void runRestore(const ParsedOptions& options, const CommandContext& context) {
  bool overwrite = overwriteRequested(options);
  if (options.contains("--dry-run")) {
    std::string planID = requiredPlanID(options);
    std::int64_t runID = options.requiredRunID();
    std::string path = requiredRepositoryPath(options);
    std::filesystem::path destination = requiredDestination(options);
    std::optional<RepositoryKeyMaterial> key =
        requiredRepositoryKeyMaterial(options.repository(), options, context.environment);
    restoreDryRun(options.repository(), planID, runID, path, destination, overwrite, std::move(key), context);
    return;
  }
  if (context.outputFormat == OutputFormat::json) {
    // A refusal still reaches a JSON caller as a confirmation envelope.
    ensureRestoreDestinationIsWritable(requiredDestination(options), overwrite);
    requireTextOutput(context.outputFormat, "restore");
  }
  std::string planID = requiredPlanID(options);
  std::int64_t runID = options.requiredRunID();
  std::string path = requiredRepositoryPath(options);
  std::filesystem::path destination = requiredDestination(options);
  std::optional<RepositoryKeyMaterial> key =
      requiredRepositoryKeyMaterial(options.repository(), options, context.environment);
  ensureRestoreDestinationIsWritable(destination, overwrite);
  try {
    RepositoryRestoreReader(options.repository(), std::move(key))
        .restoreFile(PlanID(planID), runID, path, destination, overwrite);
  } catch (const Error& error) {
    if (error.domain() != kRepositoryRestoreReaderErrorDomain ||
        error.code() != RepositoryRestoreReader::unrecoverableContentCode) {
      throw;
    }
    throw CLIError("file_unrecoverable", "repository_integrity", "Could not restore " + path + ": " + error.message(),
                   "Run `tvr verify` for details, or restore the file from another run.", ExitCode::repositoryIntegrity,
                   {{"path", path}, {"runID", std::to_string(runID)}});
  }
  context.output("Restored " + path);
}

void runExport(const ParsedOptions& options, const CommandContext& context) {
  bool overwrite = overwriteRequested(options);
  if (options.contains("--dry-run")) {
    std::string planID = requiredPlanID(options);
    std::int64_t runID = options.requiredRunID();
    std::filesystem::path destination = requiredDestination(options);
    std::optional<RepositoryKeyMaterial> key =
        requiredRepositoryKeyMaterial(options.repository(), options, context.environment);
    exportDryRun(options.repository(), planID, runID, destination, overwrite, std::move(key), context);
    return;
  }
  if (context.outputFormat == OutputFormat::json) {
    ensureExportDestinationIsWritable(requiredDestination(options), overwrite);
    requireTextOutput(context.outputFormat, "export");
  }
  std::string planID = requiredPlanID(options);
  std::int64_t runID = options.requiredRunID();
  std::filesystem::path destination = requiredDestination(options);
  std::optional<RepositoryKeyMaterial> key =
      requiredRepositoryKeyMaterial(options.repository(), options, context.environment);
  ensureExportDestinationIsWritable(destination, overwrite);
  ExportReport report = RepositoryRestoreReader(options.repository(), std::move(key))
                            .exportRun(PlanID(planID), runID, destination, overwrite);
  if (!report.isComplete()) {
    // Everything else was written; name each file left out, then fail.
    std::vector<std::string> lines;
    for (const ExportFailure& failure : report.failures) {
      lines.push_back("Could not restore " + failure.relPath + ": " + failure.reason);
    }
    const std::string count = std::to_string(report.failures.size());
    throw CLIError(
        "export_incomplete", "repository_integrity",
        "Export of run " + std::to_string(runID) + " is incomplete: " + count + " files could not be restored",
        "Run `tvr verify` for details, then restore the listed files from another run.", ExitCode::repositoryIntegrity,
        {{"failedCount", count}})
        .withLeadingLines(std::move(lines));
  }
  context.output("Exported run " + std::to_string(runID));
}

}  // namespace tvr::cli
