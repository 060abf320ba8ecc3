#pragma once

// Internal to the front end: what the dispatcher of BackupCLI and the command-family files
// share. Handlers write only through `context.output` and throw on failure.

#include <cstdint>
#include <filesystem>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

#include "BackupCLI/BackupCLI.h"
#include "BackupCLI/CLIError.h"
#include "BackupCLI/ParsedOptions.h"
#include "BackupCLI/Progress.h"

namespace tvr {
class RepositoryKeyMaterial;       // engine/crypto/RepositoryKeyMaterial.h
struct SnapshotEntry;              // engine/catalog/BackupCatalog.h
class S3RepositoryStorageBackend;  // engine/s3/S3RepositoryStorageBackend.h
}  // namespace tvr

namespace tvr::cli {

// What every handler receives besides its parsed arguments.
struct CommandContext {
  const std::string& command;
  OutputFormat outputFormat;
  const OutputSink& output;
  // Text that the next `output` line continues, without a line end: for a JSON document
  // too large to hold (verify's issues). Never decorated.
  const OutputSink& outputPiece;
  const Environment& environment;
  Progress& progress;         // enabled only for text output to a terminal, without --quiet
  const OutputSink& warning;  // lines on standard error that do not end the command
};

// MetadataCommands.cpp
void runCommands(const CommandContext& context);
void runDescribe(const std::vector<std::string>& args, const CommandContext& context);
void runAgentContext(const CommandContext& context);

// InspectionCommands.cpp
void runInfo(const std::filesystem::path& repository, const CommandContext& context);
void runListPlans(const std::filesystem::path& repository, const CommandContext& context);
void runListRuns(const ParsedOptions& options, const CommandContext& context);

// BrowseCommands.cpp
void runList(const ParsedOptions& options, const CommandContext& context);
void runSearch(const ParsedOptions& options, const CommandContext& context);
// The query checks of `search`, run after the recovery password is resolved: a non-blank
// --name without control characters, and a limit of at least 1.
void validateSearchQuery(const std::string& name, std::int64_t limit);
inline constexpr std::int64_t kDefaultSearchLimit = 25;

// RecoveryCommands.cpp
void runVerify(const ParsedOptions& options, const CommandContext& context);
void runRestore(const ParsedOptions& options, const CommandContext& context);
void runExport(const ParsedOptions& options, const CommandContext& context);
// Destination checks before any write; no-ops when `overwrite` is true. Throw the
// confirmation_required CLIError (exit 3), or the platform error of a failed listing.
void ensureRestoreDestinationIsWritable(const std::filesystem::path& destination, bool overwrite);
void ensureExportDestinationIsWritable(const std::filesystem::path& destination, bool overwrite);

// HydrateCommands.cpp
void runHydrateLocal(const std::filesystem::path& source, const ParsedOptions& options, const CommandContext& context);
void runHydrateS3(const ParsedOptions& options, const CommandContext& context);
void ensureHydrationDestinationIsWritable(const std::filesystem::path& destination, bool overwrite,
                                          const std::string& command);

// The S3 settings taken from the command line and the environment, validated in order.
// Holds the secret: never print it; the strings are wiped when dropped.
struct S3Settings {
  std::string bucket;
  std::string region;
  std::optional<std::string> endpointURL;
  std::string accessKeyID;
  std::string secretAccessKey;
  std::optional<std::string> sessionToken;
  bool usePathStyle = false;

  S3Settings() = default;
  S3Settings(const S3Settings&) = delete;
  S3Settings& operator=(const S3Settings&) = delete;
  S3Settings(S3Settings&&) = default;
  ~S3Settings();
};
S3Settings validatedS3Settings(const ParsedOptions& options, const Environment& environment);
// The validated settings as a backend on the process-wide HTTP session, retrying failed
// exchanges 3 times from 0.25 s. Building it sends no request.
S3RepositoryStorageBackend s3Backend(const ParsedOptions& options, const Environment& environment);

// CommandSupport.cpp

// --plan: required and a valid plan ID.
std::string requiredPlanID(const ParsedOptions& options);
// --to: required, a valid filesystem path, as a file location.
std::filesystem::path requiredDestination(const ParsedOptions& options);
// The overwrite switch: --overwrite as a boolean, absent is false.
bool overwriteRequested(const ParsedOptions& options);

// One snapshot entry as `list` and the restore dry run print it: id, kind, name, relPath,
// relPathNorm, and sizeBytes, createdAt, modifiedAt when the entry has them.
nlohmann::json snapshotEntryJson(const SnapshotEntry& entry);

// A --path as the catalog of the run holds it: for a run recorded as case-insensitive, NFC
// then lower case (as when it was recorded); otherwise exactly as given. `sizeBytes`, when
// asked for, receives the recorded size of the file at that path, if there is one.
std::string catalogPath(const std::filesystem::path& repository, const std::optional<RepositoryKeyMaterial>& key,
                        const std::string& planID, std::int64_t runID, const std::string& path,
                        std::optional<std::int64_t>* sizeBytes = nullptr);

// With --overwrite true, refuses a destination that exists and is not what the command
// writes (unsupported_destination, exit 2): restore needs a regular file (or nothing),
// export and hydration a folder (or nothing). Links are followed.
void ensureDestinationIsRegularFile(const std::filesystem::path& destination);
void ensureDestinationIsFolder(const std::filesystem::path& destination);

// The folders a command is about to create on the way to `path` (the path itself
// included): when the object is dropped without keep(), they are removed again, provided
// they hold no file, so a command that fails before it wrote content leaves nothing behind.
class CreatedFolders {
 public:
  explicit CreatedFolders(const std::filesystem::path& path);
  ~CreatedFolders();
  CreatedFolders(const CreatedFolders&) = delete;
  CreatedFolders& operator=(const CreatedFolders&) = delete;
  void keep() noexcept { top_.reset(); }

 private:
  std::optional<std::filesystem::path> top_;
};

// repository_metadata_missing for a folder without repo.json (exit 4).
CLIError repositoryMetadataMissing(const std::filesystem::path& repository);

// The confirmation_required error with all five detail keys.
CLIError confirmationRequired(const std::string& operation, const std::filesystem::path& path,
                              const std::string& reason, const std::string& risk, const std::string& message,
                              const std::string& remediation);

}  // namespace tvr::cli
