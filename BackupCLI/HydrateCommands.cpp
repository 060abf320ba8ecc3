#include <nlohmann/json.hpp>

#include "BackupCLI/CLIInputValidation.h"
#include "BackupCLI/CommandHandlers.h"
#include "engine/s3/S3HTTPSession.h"
#include "engine/s3/S3RepositoryStorageBackend.h"
#include "engine/s3/S3RetryPolicy.h"
#include "engine/s3/S3StorageConfiguration.h"
#include "engine/storage/LocalRepositoryStorageBackend.h"
#include "engine/storage/RepositoryObjectHydrator.h"
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

// HydrateDryRunResponse. The bucket, not the endpoint or any credential, names an S3 source.
nlohmann::json dryRunResponse(const std::string& command, const std::string& source,
                              const std::filesystem::path& destination, bool overwrite,
                              std::optional<std::size_t> objectCount) {
  nlohmann::json response = {
      {"schemaVersion", 1},
      {"command", command},
      {"dryRun", true},
      {"source", source},
      {"destination", destination.string()},
      {"overwrite", overwrite},
      {"providerPreflight", false},
  };
  if (objectCount) response["objectCount"] = *objectCount;
  return response;
}

void printHydrated(const RepositoryHydrationSummary& summary, const CommandContext& context) {
  context.output("Hydrated " + std::to_string(summary.objectsRead) + " objects");
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
      throw confirmationRequired(
          command, destination, "destination_file_exists", "overwrite",
          "Refusing to hydrate into existing file: " + destination.string() + ". Pass --overwrite true to replace it.",
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
    throw CLIError("missing_s3_secret_access_key", "authentication",
                   "Missing --secret-access-key or AWS_SECRET_ACCESS_KEY",
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

S3RepositoryStorageBackend s3Backend(const ParsedOptions& options, const Environment& environment) {
  S3Settings settings = validatedS3Settings(options, environment);
  S3StorageConfiguration configuration =
      S3StorageConfiguration::make(settings.bucket, settings.region, settings.endpointURL, settings.accessKeyID,
                                   settings.secretAccessKey, settings.sessionToken, settings.usePathStyle);
  S3RetryPolicy retryPolicy;
  retryPolicy.maxRetries = 3;
  retryPolicy.baseDelayNanoseconds = 250'000'000;
  S3RepositoryStorageBackend backend(std::move(configuration), S3HTTPSession::shared(), std::move(retryPolicy));
  return backend;
}

namespace {

void hydrateLocalDryRun(const std::filesystem::path& source, const std::filesystem::path& destination, bool overwrite,
                        const CommandContext& context) {
  ensureHydrationDestinationIsWritable(destination, overwrite, "hydrate-local");
  LocalRepositoryStorageBackend backend(source);
  std::size_t count = backend.listObjectKeys(std::nullopt).size();
  if (context.outputFormat == OutputFormat::text) {
    context.output("Dry run: hydrate " + std::to_string(count) + " objects to " + destination.string());
    return;
  }
  context.output(jsonString(dryRunResponse("hydrate-local", source.string(), destination, overwrite, count)));
}

void hydrateS3DryRun(const std::filesystem::path& destination, bool overwrite, const ParsedOptions& options,
                     const CommandContext& context) {
  ensureHydrationDestinationIsWritable(destination, overwrite, "hydrate-s3");
  {
    // Built only so that every setting is checked and a missing secret is reported; a dry
    // run never contacts the provider.
    S3RepositoryStorageBackend discarded = s3Backend(options, context.environment);
    (void)discarded;
  }
  std::string bucket = options.requiredValue("--bucket");
  if (context.outputFormat == OutputFormat::text) {
    context.output("Dry run: hydrate S3 repository objects to " + destination.string());
    return;
  }
  context.output(jsonString(dryRunResponse("hydrate-s3", bucket, destination, overwrite, std::nullopt)));
}

}  // namespace

void runHydrateLocal(const std::filesystem::path& source, const ParsedOptions& options, const CommandContext& context) {
  bool overwrite = overwriteRequested(options);
  std::filesystem::path destination = requiredDestination(options);
  if (options.contains("--dry-run")) {
    hydrateLocalDryRun(source, destination, overwrite, context);
    return;
  }
  ensureHydrationDestinationIsWritable(destination, overwrite, "hydrate-local");
  requireTextOutput(context.outputFormat, "hydrate-local");
  LocalRepositoryStorageBackend backend(source);
  printHydrated(RepositoryObjectHydrator::hydrateRepository(backend, destination), context);
}

void runHydrateS3(const ParsedOptions& options, const CommandContext& context) {
  bool overwrite = overwriteRequested(options);
  const std::filesystem::path& destination = options.repository();
  if (options.contains("--dry-run")) {
    hydrateS3DryRun(destination, overwrite, options, context);
    return;
  }
  ensureHydrationDestinationIsWritable(destination, overwrite, "hydrate-s3");
  requireTextOutput(context.outputFormat, "hydrate-s3");
  S3RepositoryStorageBackend backend = s3Backend(options, context.environment);
  printHydrated(RepositoryObjectHydrator::hydrateRepository(backend, destination), context);
}

}  // namespace tvr::cli
