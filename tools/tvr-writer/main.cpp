// tvr-writer: backs up a folder as one completed run of a plan into a new or existing
// encrypted repository. The recovery password comes from a file; S3 credentials from the
// environment (AWS_SECRET_ACCESS_KEY, AWS_SESSION_TOKEN). Prints what it did.
#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "engine/s3/S3RepositoryStorageBackend.h"
#include "engine/s3/S3StorageConfiguration.h"
#include "platform/Bytes.h"
#include "platform/FileSystem.h"
#include "tools/tvr-writer/RepositoryWriter.h"

namespace {

const char* kUsage =
    "usage: tvr-writer --repository <folder> --plan <plan-id> --source <folder>\n"
    "                  --recovery-password-file <file> [--name <plan name>] [--checkpoint]\n"
    "                  [--case-insensitive]\n"
    "                  [--s3-bucket <bucket> --s3-region <region> --s3-access-key-id <id>\n"
    "                   [--s3-endpoint <url>] [--s3-path-style true|false]]\n"
    "                  [--interrupt-after <operations>] [--workers <threads>]\n"
    "Blobs go to the repository folder, or with --s3-bucket to that bucket (secret key from\n"
    "AWS_SECRET_ACCESS_KEY). --interrupt-after ends the process abruptly after that many\n"
    "operations, leaving the run journal as an interrupted run would. --workers sets how many\n"
    "threads seal and store files (default: one per core).\n";

int usageError(const std::string& message) {
  std::cerr << "tvr-writer: " << message << "\n" << kUsage;
  return 2;
}

std::string trimmedPassword(tvr::Bytes bytes) {
  std::string text(bytes.begin(), bytes.end());
  tvr::secureWipe(bytes.data(), bytes.size());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> flags = {"--checkpoint", "--case-insensitive"};
  const std::vector<std::string> valued = {
      "--repository",  "--plan",          "--source",          "--recovery-password-file",
      "--name",        "--s3-bucket",     "--s3-region",       "--s3-access-key-id",
      "--s3-endpoint", "--s3-path-style", "--interrupt-after", "--workers"};
  std::map<std::string, std::string> options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (std::find(flags.begin(), flags.end(), arg) != flags.end()) {
      options[arg] = "true";
    } else if (std::find(valued.begin(), valued.end(), arg) != valued.end()) {
      if (i + 1 >= argc) return usageError(arg + " needs a value");
      options[arg] = argv[++i];
    } else {
      return usageError("unknown argument " + arg);
    }
  }
  for (const char* required : {"--repository", "--plan", "--source", "--recovery-password-file"}) {
    if (!options.count(required)) return usageError(std::string("missing ") + required);
  }

  try {
    tvr::tools::RepositoryWriterOptions writer;
    writer.repository = options["--repository"];
    writer.planID = tvr::PlanID(options["--plan"]);
    if (!writer.planID.isValid()) return usageError("invalid plan ID " + options["--plan"]);
    writer.planName = options.count("--name") ? options["--name"] : options["--plan"];
    writer.source = options["--source"];
    writer.recoveryPassword = trimmedPassword(tvr::readFileBytes(options["--recovery-password-file"]));
    writer.writeCheckpoint = options.count("--checkpoint") != 0;
    writer.caseInsensitive = options.count("--case-insensitive") != 0;
    if (options.count("--interrupt-after")) writer.interruptAfterOperations = std::stoll(options["--interrupt-after"]);
    if (options.count("--workers")) {
      const long long workers = std::stoll(options["--workers"]);
      if (workers < 1 || workers > 256) return usageError("--workers must be between 1 and 256");
      writer.workers = static_cast<unsigned>(workers);
    }

    if (options.count("--s3-bucket")) {
      for (const char* required : {"--s3-region", "--s3-access-key-id"}) {
        if (!options.count(required)) return usageError(std::string("--s3-bucket needs ") + required);
      }
      const char* secret = std::getenv("AWS_SECRET_ACCESS_KEY");
      if (secret == nullptr || *secret == '\0') return usageError("--s3-bucket needs AWS_SECRET_ACCESS_KEY");
      const char* token = std::getenv("AWS_SESSION_TOKEN");
      std::optional<std::string> endpoint;
      if (options.count("--s3-endpoint")) endpoint = options["--s3-endpoint"];
      auto configuration = tvr::S3StorageConfiguration::make(
          options["--s3-bucket"], options["--s3-region"], endpoint, options["--s3-access-key-id"], secret,
          token ? std::optional<std::string>(token) : std::nullopt,
          options.count("--s3-path-style") ? std::optional<bool>(options["--s3-path-style"] == "true") : std::nullopt);
      writer.blobBackend = std::make_shared<tvr::S3RepositoryStorageBackend>(configuration);
    }

    tvr::tools::RepositoryWriterResult result = tvr::tools::writeRun(writer);
    tvr::secureWipe(writer.recoveryPassword.data(), writer.recoveryPassword.size());

    if (result.clearedPartialRunUUID) {
      std::cout << "Cleaned up interrupted run " << *result.clearedPartialRunUUID << " ("
                << result.clearedPartialRunBlobs << " unreferenced blobs deleted)\n";
    }
    for (const std::string& path : result.skippedPaths) std::cout << "Skipped (not a file or folder): " << path << "\n";
    for (const tvr::BackupWarning& warning : result.warnings) {
      std::cout << "Warning: " << warning.message << ": " << warning.path << "\n";
    }
    std::cout << "Run " << result.runID << " of plan " << writer.planID.rawValue() << " completed\n"
              << "Files: " << result.filesTotal << " (" << result.filesCopied << " new, " << result.filesReplaced
              << " changed, " << result.filesUnchanged << " unchanged), " << result.filesDeleted << " deleted\n"
              << "Folders: " << result.directoriesTotal << " (" << result.directoriesNew << " new), "
              << result.directoriesDeleted << " deleted\n"
              << "Blobs: " << result.blobsWritten << " written, " << result.blobsAlreadyStored << " already stored\n";
    if (result.filesChangedWhileStored > 0) {
      std::cout << "Changed while being stored (recorded as stored): " << result.filesChangedWhileStored << "\n";
    }
    if (result.checkpointBlobKey) std::cout << "Checkpoint: " << *result.checkpointBlobKey << "\n";
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "tvr-writer: " << e.what() << "\n";
    return 1;
  }
}
