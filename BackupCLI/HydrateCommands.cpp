#include <sys/stat.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "BackupCLI/CLIInputValidation.h"
#include "BackupCLI/CommandHandlers.h"
#include "engine/metadata/RepositoryMetadata.h"
#include "engine/s3/S3HTTPSession.h"
#include "engine/s3/S3RepositoryStorageBackend.h"
#include "engine/s3/S3RequestSigner.h"
#include "engine/s3/S3RetryPolicy.h"
#include "engine/s3/S3StorageConfiguration.h"
#include "engine/storage/ForwardingRepositoryStorageBackend.h"
#include "engine/storage/LocalRepositoryStorageBackend.h"
#include "engine/storage/RepositoryObjectHydrator.h"
#include "engine/storage/RestoreDestination.h"
#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"

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

CLIError objectsMissing(const std::string& source) {
  return CLIError("repository_objects_missing", "repository", "No repository objects at " + source,
                  "Check the source path, or copy the repository objects there first.", ExitCode::repository,
                  {{"source", source}});
}

// What a listing must hold before anything is copied: at least one object, and repo.json
// unless the destination already has one (a merge into a repository).
void requireRepositoryMetadata(bool listed, const std::string& source, const std::filesystem::path& destination) {
  if (listed || itemExists(destination / "repo.json")) return;
  throw CLIError("repository_metadata_missing", "repository", "Repository is missing repo.json",
                 "Pass the root of an Tovarine repository or hydrate the repository objects first.",
                 ExitCode::repository, {{"repository", source}});
}

void checkListing(const std::vector<RepositoryObjectKey>& keys, const std::string& source,
                  const std::filesystem::path& destination) {
  if (keys.empty()) throw objectsMissing(source);
  bool listed = std::any_of(keys.begin(), keys.end(), [](const auto& key) { return key.rawValue() == "repo.json"; });
  requireRepositoryMetadata(listed, source, destination);
}

void checkListing(const RepositoryObjectKeyList& keys, const std::string& source,
                  const std::filesystem::path& destination) {
  if (keys.empty()) throw objectsMissing(source);
  requireRepositoryMetadata(keys.contains("repo.json"), source, destination);
}

// A local source must be a folder that exists.
void checkLocalSource(const std::filesystem::path& source) {
  struct stat status {};
  if (::stat(source.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) throw objectsMissing(source.string());
}

// Forwards to the real backend and checks its one listing before the hydrator copies
// anything; counts what the progress line shows.
class CheckedListingBackend : public ForwardingRepositoryStorageBackend {
 public:
  CheckedListingBackend(RepositoryStorageBackend& inner, std::string source, std::filesystem::path destination,
                        Progress& progress, std::function<std::optional<std::int64_t>()> totalBytes)
      : ForwardingRepositoryStorageBackend(inner),
        source_(std::move(source)),
        destination_(std::move(destination)),
        progress_(progress),
        totalBytes_(std::move(totalBytes)) {}

  std::vector<RepositoryObjectKey> listObjectKeys(const std::optional<std::string>& prefix,
                                                  const CancellationToken& cancel) override {
    std::vector<RepositoryObjectKey> keys = ForwardingRepositoryStorageBackend::listObjectKeys(prefix, cancel);
    checkListing(keys, source_, destination_);
    startProgress(keys.size());
    return keys;
  }
  // The hydrator's listing: the sizes let a rerun keep the blobs already there.
  RepositoryObjectKeyList listObjectsWithSizes(const std::optional<std::string>& prefix,
                                               const CancellationToken& cancel) override {
    RepositoryObjectKeyList keys = ForwardingRepositoryStorageBackend::listObjectsWithSizes(prefix, cancel);
    checkListing(keys, source_, destination_);
    startProgress(keys.size());
    return keys;
  }

 private:
  void startProgress(std::size_t objectCount) {
    if (progress_.enabled()) {
      progress_.start("Hydrating", static_cast<std::int64_t>(objectCount), totalBytes_ ? totalBytes_() : std::nullopt);
    }
  }

  std::string source_;
  std::filesystem::path destination_;
  Progress& progress_;
  std::function<std::optional<std::int64_t>()> totalBytes_;
};

// The source items a local listing leaves out although they look like objects: links and
// special files (hidden names are never objects). Each is "<key> (<what it is>)".
std::vector<std::string> uncopyableSourceItems(const std::filesystem::path& source) {
  std::vector<std::string> items;
  std::error_code ec;
  std::filesystem::recursive_directory_iterator it(source, std::filesystem::directory_options::none, ec);
  for (std::filesystem::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) {
    if (it->path().filename().string().starts_with(".")) {
      if (it->is_directory(ec)) it.disable_recursion_pending();
      continue;
    }
    struct stat status {};
    if (::lstat(it->path().c_str(), &status) != 0) continue;
    const char* kind = nullptr;
    if (S_ISLNK(status.st_mode)) {
      kind = "a symbolic link";
    } else if (S_ISFIFO(status.st_mode)) {
      kind = "a FIFO";
    } else if (S_ISSOCK(status.st_mode)) {
      kind = "a socket";
    } else if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode)) {
      kind = "a device";
    }
    if (kind != nullptr) {
      items.push_back(it->path().lexically_relative(source).string() + " (" + kind + ")");
    }
  }
  // Key order, as the listing has it.
  std::sort(items.begin(), items.end());
  return items;
}

// The sum of the sizes of the regular files below `source` (the progress total).
std::int64_t localSourceBytes(const std::filesystem::path& source) {
  std::int64_t total = 0;
  std::error_code ec;
  std::filesystem::recursive_directory_iterator it(source, std::filesystem::directory_options::none, ec);
  for (std::filesystem::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) {
    std::error_code sizeError;
    if (it->is_regular_file(sizeError) && !it->is_symlink(sizeError)) {
      auto size = it->file_size(sizeError);
      if (!sizeError) total += static_cast<std::int64_t>(size);
    }
  }
  return total;
}

}  // namespace

S3Settings::~S3Settings() {
  wipe(secretAccessKey);
  if (sessionToken) wipe(*sessionToken);
}

void ensureHydrationDestinationIsWritable(const std::filesystem::path& destination, bool overwrite,
                                          const std::string& command) {
  if (overwrite) {
    ensureDestinationIsFolder(destination);
    return;
  }
  switch (folderDestinationRefusal(destination, overwrite)) {
    case DestinationRefusal::none:
    case DestinationRefusal::existingItem:
      return;
    case DestinationRefusal::existingFile:
      throw confirmationRequired(
          command, destination, "destination_file_exists", "overwrite",
          "Refusing to hydrate into existing file: " + destination.string() + ". Pass --overwrite true to replace it.",
          "Rerun with --overwrite true only if replacing the destination is intended.");
    case DestinationRefusal::nonEmptyDirectory:
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
  // The first request of a run (the listing), formed without sending it: what it cannot
  // address is refused here, so a dry run refuses exactly what the real run would.
  try {
    (void)S3RequestSigner(configuration).bucketRequestTarget({{"list-type", "2"}});
  } catch (const Error& error) {
    throw CLIError::validation("invalid_s3_request",
                               "Cannot address bucket " + settings.bucket + ": " + error.message(),
                               "Check --bucket, --region, --endpoint and --path-style; a bucket name that is not a "
                               "host name needs --path-style true.",
                               {{"bucket", settings.bucket}});
  }
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
  checkLocalSource(source);
  LocalRepositoryStorageBackend backend(source);
  // The compact listing: counted, never spelled out key by key.
  RepositoryObjectKeyList keys = backend.listObjectsWithSizes(std::nullopt);
  checkListing(keys, source.string(), destination);
  std::size_t count = keys.size();
  if (context.outputFormat == OutputFormat::text) {
    context.output("Dry run: hydrate " + std::to_string(count) + " objects to " + visibleText(destination.string()));
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
    context.output("Dry run: hydrate S3 repository objects to " + visibleText(destination.string()));
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
  checkLocalSource(source);
  LocalRepositoryStorageBackend local(source);
  CheckedListingBackend backend(local, source.string(), destination, context.progress,
                                [&source]() -> std::optional<std::int64_t> { return localSourceBytes(source); });
  CreatedFolders createdFolders(destination);
  RepositoryHydrationSummary summary = RepositoryObjectHydrator::hydrateRepository(backend, destination);
  context.progress.finish();
  createdFolders.keep();
  // The listing leaves links and special files out; say so rather than hand over a
  // repository that fails verify.
  std::vector<std::string> skipped = uncopyableSourceItems(source);
  if (!skipped.empty()) {
    for (const std::string& item : skipped) context.warning("Not copied: " + visibleText(item));
    throw CLIError("hydration_incomplete", "repository",
                   "Hydrated " + std::to_string(summary.objectsRead) + " objects; " + std::to_string(skipped.size()) +
                       " source items could not be copied",
                   "Replace each named link or special file in the source with the object file itself, then hydrate "
                   "again with --overwrite true.",
                   ExitCode::repository,
                   {{"source", source.string()}, {"skippedCount", std::to_string(skipped.size())}});
  }
  printHydrated(summary, context);
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
  S3RepositoryStorageBackend s3 = s3Backend(options, context.environment);
  CheckedListingBackend backend(s3, options.requiredValue("--bucket"), destination, context.progress, nullptr);
  CreatedFolders createdFolders(destination);
  RepositoryHydrationSummary summary = RepositoryObjectHydrator::hydrateRepository(backend, destination);
  context.progress.finish();
  createdFolders.keep();
  printHydrated(summary, context);
}

}  // namespace tvr::cli
