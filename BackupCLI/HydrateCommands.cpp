#include "BackupCLI/CLIInputValidation.h"
#include "BackupCLI/CommandHandlers.h"
#include "platform/Bytes.h"

namespace tvr::cli {

// hydrate-local, hydrate-s3: rebuild a local repository folder from repository objects.

namespace {

void wipe(std::string& text) {
  if (!text.empty()) secureWipe(text.data(), text.size());
}

std::optional<std::string> environmentValue(const Environment& environment, const std::string& name) {
  auto it = environment.find(name);
  if (it == environment.end()) return std::nullopt;
  return it->second;
}

}  // namespace

S3Settings::~S3Settings() {
  wipe(secretAccessKey);
  if (sessionToken) wipe(*sessionToken);
}

void ensureHydrationDestinationIsWritable(const std::filesystem::path& destination, bool overwrite,
                                          const std::string& command) {
  if (overwrite) return;
  switch (destinationState(destination)) {
    case DestinationState::absent:
    case DestinationState::emptyDirectory:
      return;
    case DestinationState::file:
      throw confirmationRequired(command, destination, "destination_file_exists", "overwrite",
                                 "Refusing to hydrate into existing file: " + destination.string() +
                                     ". Pass --overwrite true to replace it.",
                                 "Rerun with --overwrite true only if replacing the destination is intended.");
    case DestinationState::nonEmptyDirectory:
      throw confirmationRequired(
          command, destination, "destination_not_empty", "merge_or_overwrite",
          "Refusing to hydrate into non-empty destination: " + destination.string() +
              ". Pass --overwrite true to replace matching objects.",
          "Rerun with --overwrite true only if merging repository objects into the destination is intended.");
  }
}

S3Settings validatedS3Settings(const ParsedOptions& options, const Environment& environment) {
  S3Settings settings;
  if (std::optional<std::string> endpoint = options.value("--endpoint")) {
    CLIInputValidation::validateNonEmptyValue(*endpoint, "--endpoint");
    settings.endpointURL = CLIInputValidation::validateEndpoint(*endpoint, "--endpoint");
  }

  std::optional<std::string> secret = options.nonEmptyValue("--secret-access-key");
  if (!secret) secret = environmentValue(environment, "AWS_SECRET_ACCESS_KEY");
  if (!secret || secret->empty()) {
    throw CLIError("missing_s3_secret_access_key", "authentication", "Missing --secret-access-key or AWS_SECRET_ACCESS_KEY",
                   "Set AWS_SECRET_ACCESS_KEY or pass --secret-access-key.", ExitCode::authentication);
  }
  settings.secretAccessKey = std::move(*secret);
  wipe(*secret);

  auto requiredNonEmpty = [&options](const std::string& option) {
    std::string value = options.requiredValue(option);
    CLIInputValidation::validateNonEmptyValue(value, option);
    return value;
  };
  settings.bucket = requiredNonEmpty("--bucket");
  settings.region = requiredNonEmpty("--region");
  settings.accessKeyID = requiredNonEmpty("--access-key-id");

  settings.sessionToken = options.nonEmptyValue("--session-token");
  if (!settings.sessionToken) settings.sessionToken = environmentValue(environment, "AWS_SESSION_TOKEN");

  settings.usePathStyle = options.boolValue("--path-style").value_or(settings.endpointURL.has_value());
  return settings;
}

void runHydrateLocal(const std::filesystem::path& source, const ParsedOptions& options, const CommandContext& context) {
  (void)source;
  bool overwrite = overwriteRequested(options);
  std::filesystem::path destination = requiredDestination(options);
  ensureHydrationDestinationIsWritable(destination, overwrite, "hydrate-local");
  if (options.contains("--dry-run")) {
    // Engine work lands with the recovery commands.
    // LocalRepositoryStorageBackend(root: source).listObjectKeys(prefix: none), then
    // "Dry run: hydrate <count> objects to <destination>" or the HydrateDryRunResponse.
    engineWorkUnavailable(context.command);
  }
  requireTextOutput(context.outputFormat, "hydrate-local");
  // Engine work lands with the recovery commands.
  // RepositoryObjectHydrator.hydrateRepository(from: LocalRepositoryStorageBackend(source),
  // toRoot: destination), then "Hydrated <objectsRead> objects".
  engineWorkUnavailable(context.command);
}

void runHydrateS3(const ParsedOptions& options, const CommandContext& context) {
  bool overwrite = overwriteRequested(options);
  const std::filesystem::path& destination = options.repository();
  ensureHydrationDestinationIsWritable(destination, overwrite, "hydrate-s3");
  bool dryRun = options.contains("--dry-run");
  if (!dryRun) requireTextOutput(context.outputFormat, "hydrate-s3");
  S3Settings settings = validatedS3Settings(options, context.environment);
  (void)settings;
  // Engine work lands with the recovery commands.
  // s3Backend: S3StorageConfiguration from `settings` and S3RepositoryStorageBackend with
  // S3RetryPolicy(maxRetries: 3, baseDelayNanoseconds: 250000000). A dry run then discards
  // the backend and prints "Dry run: hydrate S3 repository objects to <destination>" or the
  // HydrateDryRunResponse; a real run hydrates and prints "Hydrated <objectsRead> objects".
  engineWorkUnavailable(context.command);
}

}  // namespace tvr::cli
