#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>

#include "BackupCLI/CLIInputValidation.h"
#include "BackupCLI/CommandHandlers.h"
#include "engine/catalog/BackupCatalog.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/Iso8601.h"

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

DestinationState destinationState(const std::filesystem::path& destination) {
  if (!itemExists(destination)) return DestinationState::absent;
  struct stat status {};
  if (::stat(destination.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return DestinationState::file;

  std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(destination.c_str()), ::closedir);
  if (!directory) throw PosixError("opendir", errno, destination.string());
  errno = 0;
  while (dirent* entry = ::readdir(directory.get())) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      return DestinationState::nonEmptyDirectory;
    }
  }
  if (errno != 0) throw PosixError("readdir", errno, destination.string());
  return DestinationState::emptyDirectory;
}

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
