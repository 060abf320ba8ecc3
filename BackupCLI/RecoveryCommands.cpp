#include "BackupCLI/CLIInputValidation.h"
#include "BackupCLI/CommandHandlers.h"
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
  (void)options;
  // Engine work lands with the recovery commands.
  // requiredRepositoryKeyMaterial (recovery password sources), then
  // RepositoryIntegrityVerifier.verify(atRoot:), the report, and repository_integrity_failed
  // (exit 5) after the report when it is not healthy.
  engineWorkUnavailable(context.command);
}

void runRestore(const ParsedOptions& options, const CommandContext& context) {
  bool overwrite = overwriteRequested(options);
  if (options.contains("--dry-run")) {
    std::string planID = requiredPlanID(options);
    std::int64_t runID = options.requiredRunID();
    std::string path = requiredRepositoryPath(options);
    std::filesystem::path destination = requiredDestination(options);
    (void)planID;
    (void)runID;
    (void)path;
    (void)destination;
    // Engine work lands with the recovery commands.
    // requiredRepositoryKeyMaterial, then restoreDryRun: ensureRestoreDestinationIsWritable,
    // the file lookup through allFiles (repository_item_not_found, exit 4) and the output.
    engineWorkUnavailable(context.command);
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
  (void)planID;
  (void)runID;
  (void)path;
  (void)destination;
  // Engine work lands with the recovery commands.
  // requiredRepositoryKeyMaterial, ensureRestoreDestinationIsWritable(destination, overwrite),
  // RepositoryRestoreReader.restoreFile(...), then "Restored " + path.
  engineWorkUnavailable(context.command);
}

void runExport(const ParsedOptions& options, const CommandContext& context) {
  bool overwrite = overwriteRequested(options);
  if (options.contains("--dry-run")) {
    std::string planID = requiredPlanID(options);
    std::int64_t runID = options.requiredRunID();
    std::filesystem::path destination = requiredDestination(options);
    (void)planID;
    (void)runID;
    (void)destination;
    // Engine work lands with the recovery commands.
    // requiredRepositoryKeyMaterial, then exportDryRun: ensureExportDestinationIsWritable,
    // allEntries through the reader and the three counts.
    engineWorkUnavailable(context.command);
  }
  if (context.outputFormat == OutputFormat::json) {
    ensureExportDestinationIsWritable(requiredDestination(options), overwrite);
    requireTextOutput(context.outputFormat, "export");
  }
  std::string planID = requiredPlanID(options);
  std::int64_t runID = options.requiredRunID();
  std::filesystem::path destination = requiredDestination(options);
  (void)planID;
  (void)runID;
  (void)destination;
  // Engine work lands with the recovery commands.
  // requiredRepositoryKeyMaterial, ensureExportDestinationIsWritable(destination, overwrite),
  // RepositoryRestoreReader.exportRun(...), then "Exported run " + runID.
  engineWorkUnavailable(context.command);
}

}  // namespace tvr::cli
