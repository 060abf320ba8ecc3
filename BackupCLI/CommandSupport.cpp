#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "BackupCLI/CLIInputValidation.h"
#include "BackupCLI/CommandHandlers.h"
#include "engine/catalog/BackupCatalog.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/Iso8601.h"
#include "platform/Unicode.h"

namespace tvr::cli {

std::string requiredPlanID(const ParsedOptions& options) {
  std::string planID = options.requiredValue("--plan");
  CLIInputValidation::validatePlanID(planID, "--plan");
  return planID;
}

std::filesystem::path requiredDestination(const ParsedOptions& options) {
  std::string destination = options.requiredValue("--to");
  CLIInputValidation::validateFilesystemPath(destination, "--to");
  return fileLocation(destination);
}

bool overwriteRequested(const ParsedOptions& options) { return options.boolValue("--overwrite").value_or(false); }

nlohmann::json snapshotEntryJson(const SnapshotEntry& entry) {
  nlohmann::json json = {
      {"id", entry.id},           {"kind", snapshotKindName(entry.kind)}, {"name", entry.name},
      {"relPath", entry.relPath}, {"relPathNorm", entry.relPathNorm},
  };
  if (entry.sizeBytes) json["sizeBytes"] = *entry.sizeBytes;
  if (entry.createdAt) json["createdAt"] = formatISO8601(*entry.createdAt);
  if (entry.modifiedAt) json["modifiedAt"] = formatISO8601(*entry.modifiedAt);
  return json;
}

std::string catalogPath(const std::filesystem::path& repository, const std::optional<RepositoryKeyMaterial>& key,
                        const std::string& planID, std::int64_t runID, const std::string& path,
                        std::optional<std::int64_t>* sizeBytes) {
  BackupCatalog catalog(repository, key, BackupCatalog::OpenMode::readOnly);
  std::string lookup = path;
  if (catalog.runIsCaseInsensitive(PlanID(planID), runID).value_or(false)) {
    lookup = unicode::lowercased(unicode::nfc(path));
  }
  if (sizeBytes != nullptr) {
    std::optional<SnapshotEntry> entry = catalog.snapshotFileEntry(PlanID(planID), runID, lookup);
    *sizeBytes = entry ? entry->sizeBytes : std::nullopt;
  }
  return lookup;
}

namespace {

CLIError unsupportedDestination(const std::string& message, const std::string& remediation,
                                const std::filesystem::path& destination) {
  return CLIError::validation("unsupported_destination", message + destination.string(), remediation,
                              {{"path", destination.string()}});
}

}  // namespace

void ensureDestinationIsRegularFile(const std::filesystem::path& destination) {
  struct stat status {};
  if (::stat(destination.c_str(), &status) != 0) return;
  if (S_ISDIR(status.st_mode)) {
    throw unsupportedDestination("Destination is a directory: ", "Pass the full path of the file to write.",
                                 destination);
  }
  // Replacing a device, FIFO or socket node with a file would harm the system, not restore.
  if (!S_ISREG(status.st_mode)) {
    throw unsupportedDestination("Destination is not a regular file: ",
                                 "Choose a file path that does not exist or names a regular file.", destination);
  }
}

void ensureDestinationIsFolder(const std::filesystem::path& destination) {
  struct stat status {};
  if (::lstat(destination.c_str(), &status) != 0) return;
  if (::stat(destination.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
    throw unsupportedDestination(
        "Destination is not a folder: ", "Choose a folder path that does not exist or names a folder.", destination);
  }
}

CreatedFolders::CreatedFolders(const std::filesystem::path& path) {
  std::filesystem::path probe = path;
  while (!itemExists(probe) && probe.has_relative_path()) {
    top_ = probe;
    probe = probe.parent_path();
  }
}

CreatedFolders::~CreatedFolders() {
  if (!top_) return;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(*top_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    // Anything but a folder is content (or not ours): leave the whole tree.
    if (it->is_symlink(ec) || !it->is_directory(ec)) return;
  }
  if (ec && ec != std::errc::no_such_file_or_directory) return;
  struct stat status {};
  if (::lstat(top_->c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return;
  std::filesystem::remove_all(*top_, ec);
}

CLIError repositoryMetadataMissing(const std::filesystem::path& repository) {
  return CLIError("repository_metadata_missing", "repository", "Repository is missing repo.json",
                  "Pass the root of an Tovarine repository or hydrate the repository objects first.",
                  ExitCode::repository, {{"repository", repository.string()}});
}

CLIError confirmationRequired(const std::string& operation, const std::filesystem::path& path,
                              const std::string& reason, const std::string& risk, const std::string& message,
                              const std::string& remediation) {
  return CLIError("confirmation_required", "confirmation_required", message, remediation,
                  ExitCode::confirmationRequired,
                  {{"operation", operation},
                   {"path", path.string()},
                   {"reason", reason},
                   {"risk", risk},
                   {"confirmCommand", "--overwrite true"}});
}

}  // namespace tvr::cli
