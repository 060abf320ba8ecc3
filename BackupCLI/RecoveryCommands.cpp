#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>

#include "BackupCLI/CLIInputValidation.h"
#include "BackupCLI/CommandHandlers.h"
#include "BackupCLI/RecoveryPassword.h"
#include "engine/catalog/BackupCatalog.h"
#include "engine/storage/RepositoryIntegrityVerifier.h"
#include "engine/storage/RepositoryRestoreReader.h"
#include "engine/storage/RestoreDestination.h"
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

CLIError noFileInRun(const std::string& path, std::int64_t runID) {
  return CLIError("repository_item_not_found", "repository", "No file at " + path + " in run " + std::to_string(runID),
                  "Use `tvr list` or `tvr search` to find a restorable file path.", ExitCode::repository,
                  {{"path", path}, {"runID", std::to_string(runID)}});
}

void restoreDryRun(const std::filesystem::path& repository, const std::string& planID, std::int64_t runID,
                   const std::string& path, const std::filesystem::path& destination, bool overwrite,
                   std::optional<RepositoryKeyMaterial> key, const CommandContext& context) {
  ensureRestoreDestinationIsWritable(destination, overwrite);
  if (overwrite) ensureDestinationIsRegularFile(destination);
  // Exact match on the path as the catalog holds it, found in one snapshot build of the run.
  std::string lookup = catalogPath(repository, key, planID, runID, path);
  std::optional<SnapshotEntry> file =
      RepositoryRestoreReader(repository, std::move(key)).findFile(PlanID(planID), runID, lookup);
  if (!file || !file->blobKey) throw noFileInRun(path, runID);
  if (context.outputFormat == OutputFormat::text) {
    context.output("Dry run: restore " + visibleText(path) + " to " + visibleText(destination.string()));
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
  if (overwrite) ensureDestinationIsFolder(destination);
  // Counted along the walk; no list of the run's entries is built.
  const RestoreSnapshot snapshot = RepositoryRestoreReader(repository, std::move(key)).loadSnapshot(PlanID(planID), runID);
  std::int64_t fileCount = 0;
  std::int64_t directoryCount = 0;
  snapshot.walk(std::nullopt, [&](const SnapshotEntry& entry) {
    (entry.kind == SnapshotKind::directory ? directoryCount : fileCount) += 1;
  });
  if (context.outputFormat == OutputFormat::text) {
    context.output("Dry run: export run " + std::to_string(runID) + " to " + visibleText(destination.string()));
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
      {"entryCount", fileCount + directoryCount},
  }));
}

// How far the verifier has come: the blobs it has finished, plus how far it has read into
// the blob files it has open now (found among the process's open files).
class VerifierPosition {
 public:
  VerifierPosition(const std::filesystem::path& repository, std::shared_ptr<const RepositoryIntegrityProgress> done)
      : done_(std::move(done)) {
    std::error_code ec;
    // The process's open files are listed by their resolved paths.
    std::filesystem::path blobs = std::filesystem::weakly_canonical(repository / "blobs", ec);
    blobsPrefix_ = (ec ? repository / "blobs" : blobs).string() + "/";
  }

  std::pair<std::int64_t, std::int64_t> operator()() const {
    // Read before the open files: a blob counts as done only after it was closed.
    const std::int64_t files = done_->blobsDone.load(std::memory_order_relaxed);
    std::int64_t bytes = done_->bytesDone.load(std::memory_order_relaxed);
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
      std::error_code linkError;
      const std::string target = std::filesystem::read_symlink(it->path(), linkError).string();
      if (linkError || target.compare(0, blobsPrefix_.size(), blobsPrefix_) != 0) continue;
      std::int64_t offset = 0;
      std::ifstream info("/proc/self/fdinfo/" + it->path().filename().string());
      std::string key;
      if (info >> key >> offset && key == "pos:") bytes += offset;
    }
    return {files, bytes};
  }

 private:
  std::shared_ptr<const RepositoryIntegrityProgress> done_;
  std::string blobsPrefix_;
};

RepositoryIntegrityFindings verifyWithProgress(const std::filesystem::path& repository,
                                               std::optional<RepositoryKeyMaterial> key, Progress& progress) {
  RepositoryIntegrityVerifier verifier(std::move(key));
  if (!progress.enabled()) return verifier.check(repository);
  auto done = std::make_shared<RepositoryIntegrityProgress>();
  progress.setProbe([position = VerifierPosition(repository, done)] { return position(); });
  done->started = [&progress](std::int64_t blobs, std::int64_t bytes) { progress.start("Verifying", blobs, bytes); };
  RepositoryIntegrityFindings findings = verifier.check(repository, done.get());
  progress.finish();
  return findings;
}

// The verify document with its issues written one by one as pieces of the one line, in the
// text that jsonString gives the whole document.
void outputVerifyJson(const std::filesystem::path& repository, const RepositoryIntegrityFindings& findings,
                      const CommandContext& context) {
  const std::string document = jsonString({
      {"schemaVersion", 1},
      {"command", "verify"},
      {"repository", repository.string()},
      {"referencedBlobCount", findings.referencedBlobCount()},
      {"storedBlobCount", findings.storedBlobCount()},
      {"issueCount", findings.issueCount()},
      {"healthy", findings.isHealthy()},
      {"issues", nlohmann::json::array()},
  });
  // Strings escape their quotes, so this text occurs once: as the member itself.
  const std::string member = "\"issues\":[]";
  const std::size_t at = document.find(member);
  const std::size_t split = at + member.size() - 1;
  context.outputPiece(document.substr(0, split));
  bool first = true;
  findings.forEachIssue([&](const RepositoryIntegrityIssue& issue) {
    nlohmann::json item = {{"kind", repositoryIntegrityIssueKindName(issue.kind)}, {"blobKey", issue.blobKey}};
    if (issue.path) item["path"] = *issue.path;
    context.outputPiece((first ? "" : ",") + jsonString(item));
    first = false;
  });
  context.output(document.substr(split));
}

}  // namespace

void ensureRestoreDestinationIsWritable(const std::filesystem::path& destination, bool overwrite) {
  if (fileDestinationRefusal(destination, overwrite) == DestinationRefusal::none) return;
  throw confirmationRequired(
      "restore", destination, "destination_exists", "overwrite",
      "Refusing to overwrite existing destination: " + destination.string() + ". Pass --overwrite true to replace it.",
      "Rerun with --overwrite true only if replacing the destination is intended.");
}

void ensureExportDestinationIsWritable(const std::filesystem::path& destination, bool overwrite) {
  switch (folderDestinationRefusal(destination, overwrite)) {
    case DestinationRefusal::none:
    case DestinationRefusal::existingItem:
      return;
    case DestinationRefusal::existingFile:
      throw confirmationRequired("export", destination, "destination_file_exists", "overwrite",
                                 "Refusing to export into existing file: " + destination.string() +
                                     ". Pass --overwrite true to replace matching files.",
                                 "Rerun with --overwrite true only if replacing the destination is intended.");
    case DestinationRefusal::nonEmptyDirectory:
      throw confirmationRequired("export", destination, "destination_not_empty", "merge_or_overwrite",
                                 "Refusing to export into non-empty destination: " + destination.string() +
                                     ". Pass --overwrite true to replace matching files.",
                                 "Rerun with --overwrite true only if merging into the destination is intended.");
  }
}

void runVerify(const ParsedOptions& options, const CommandContext& context) {
  std::optional<RepositoryKeyMaterial> key =
      requiredRepositoryKeyMaterial(options.repository(), options, context.environment);
  std::optional<RepositoryIntegrityFindings> findings;
  try {
    findings = verifyWithProgress(options.repository(), std::move(key), context.progress);
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

  // The issues stream to the output: a repository whose blobs were never copied has one per file.
  if (context.outputFormat == OutputFormat::text) {
    context.output("Referenced blobs: " + std::to_string(findings->referencedBlobCount()));
    context.output("Stored blobs: " + std::to_string(findings->storedBlobCount()));
    context.output("Issues: " + std::to_string(findings->issueCount()));
    findings->forEachIssue([&](const RepositoryIntegrityIssue& issue) {
      context.output(repositoryIntegrityIssueKindName(issue.kind) + " " + visibleText(issue.blobKey));
    });
  } else {
    outputVerifyJson(options.repository(), *findings, context);
  }
  // Only after the report went out, so a caller always sees what is wrong.
  if (!findings->isHealthy()) {
    throw CLIError("repository_integrity_failed", "repository_integrity", "Repository integrity check failed",
                   "Inspect the verify output for missing, corrupt, or orphaned blobs before restoring.",
                   ExitCode::repositoryIntegrity, {{"issueCount", std::to_string(findings->issueCount())}});
  }
}

namespace {

// The options a restore or an export reads, in the order their problems are reported.
struct RecoveryRequest {
  std::string planID;
  std::int64_t runID = 0;
  std::string path;  // restore only
  std::filesystem::path destination;
  std::optional<RepositoryKeyMaterial> key;
};

RecoveryRequest readRecoveryRequest(const ParsedOptions& options, const CommandContext& context, bool withPath) {
  RecoveryRequest request;
  request.planID = requiredPlanID(options);
  request.runID = options.requiredRunID();
  if (withPath) request.path = requiredRepositoryPath(options);
  request.destination = requiredDestination(options);
  request.key = requiredRepositoryKeyMaterial(options.repository(), options, context.environment);
  return request;
}

}  // namespace

void runRestore(const ParsedOptions& options, const CommandContext& context) {
  bool overwrite = overwriteRequested(options);
  if (options.contains("--dry-run")) {
    RecoveryRequest request = readRecoveryRequest(options, context, true);
    restoreDryRun(options.repository(), request.planID, request.runID, request.path, request.destination, overwrite,
                  std::move(request.key), context);
    return;
  }
  if (context.outputFormat == OutputFormat::json) {
    // A refusal still reaches a JSON caller as a confirmation envelope.
    ensureRestoreDestinationIsWritable(requiredDestination(options), overwrite);
    requireTextOutput(context.outputFormat, "restore");
  }
  RecoveryRequest request = readRecoveryRequest(options, context, true);
  const std::string& planID = request.planID;
  const std::int64_t runID = request.runID;
  const std::string& path = request.path;
  const std::filesystem::path& destination = request.destination;
  std::optional<RepositoryKeyMaterial>& key = request.key;
  ensureRestoreDestinationIsWritable(destination, overwrite);
  if (overwrite) ensureDestinationIsRegularFile(destination);
  std::optional<std::int64_t> sizeBytes;
  std::string lookup =
      catalogPath(options.repository(), key, planID, runID, path, context.progress.enabled() ? &sizeBytes : nullptr);
  CreatedFolders createdFolders(destination.parent_path());
  context.progress.start("Restoring", 1, sizeBytes);
  try {
    RepositoryRestoreReader(options.repository(), std::move(key))
        .restoreFile(PlanID(planID), runID, lookup, destination, overwrite);
  } catch (const Error& error) {
    // The reader names the path as the catalog holds it; the user sees it as typed.
    if (error.domain() == kRepositoryRestoreReaderErrorDomain &&
        error.message() == "No file at " + lookup + " in run " + std::to_string(runID)) {
      throw noFileInRun(path, runID);
    }
    if (error.domain() == kRepositoryRestoreReaderErrorDomain &&
        error.code() == RepositoryRestoreReader::unrecoverableContentCode) {
      throw CLIError("file_unrecoverable", "repository_integrity", "Could not restore " + path + ": " + error.message(),
                     "Run `tvr verify` for details, or restore the file from another run.",
                     ExitCode::repositoryIntegrity, {{"path", path}, {"runID", std::to_string(runID)}});
    }
    throw;
  }
  context.progress.finish();
  createdFolders.keep();
  context.output("Restored " + visibleText(path));
}

void runExport(const ParsedOptions& options, const CommandContext& context) {
  bool overwrite = overwriteRequested(options);
  if (options.contains("--dry-run")) {
    RecoveryRequest request = readRecoveryRequest(options, context, false);
    exportDryRun(options.repository(), request.planID, request.runID, request.destination, overwrite,
                 std::move(request.key), context);
    return;
  }
  if (context.outputFormat == OutputFormat::json) {
    ensureExportDestinationIsWritable(requiredDestination(options), overwrite);
    requireTextOutput(context.outputFormat, "export");
  }
  RecoveryRequest request = readRecoveryRequest(options, context, false);
  const std::string& planID = request.planID;
  const std::int64_t runID = request.runID;
  const std::filesystem::path& destination = request.destination;
  std::optional<RepositoryKeyMaterial>& key = request.key;
  ensureExportDestinationIsWritable(destination, overwrite);
  if (overwrite) ensureDestinationIsFolder(destination);
  RepositoryRestoreReader reader(options.repository(), std::move(key));
  std::optional<RestoreSnapshot> snapshot;
  if (context.progress.enabled()) {
    // Counted along a walk of the snapshot the export then uses: built once, never listed.
    snapshot.emplace(reader.loadSnapshot(PlanID(planID), runID));
    std::int64_t files = 0;
    std::int64_t bytes = 0;
    snapshot->walk(std::nullopt, [&](const SnapshotEntry& entry) {
      if (entry.kind == SnapshotKind::directory) return;
      files += 1;
      bytes += entry.sizeBytes.value_or(0);
    });
    context.progress.start("Exporting", files, bytes);
  }
  CreatedFolders createdFolders(destination);
  ExportReport report = snapshot ? reader.exportRun(*snapshot, destination, overwrite)
                                 : reader.exportRun(PlanID(planID), runID, destination, overwrite);
  context.progress.finish();
  createdFolders.keep();
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
