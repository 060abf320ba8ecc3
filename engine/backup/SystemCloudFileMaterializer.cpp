#include "engine/backup/SystemCloudFileMaterializer.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace tvr {

namespace {

bool contentsPresent(const SystemCloudFileResourceValues& values) {
  return !values.isUbiquitousItem || !values.downloadingStatus ||
         *values.downloadingStatus != kUbiquitousItemDownloadingStatusNotDownloaded;
}

}  // namespace

const char* cloudFileMaterializationStageName(CloudFileMaterializationProgress::Stage stage) {
  switch (stage) {
    case CloudFileMaterializationProgress::Stage::requested:
      return "requested";
    case CloudFileMaterializationProgress::Stage::waiting:
      return "waiting";
    case CloudFileMaterializationProgress::Stage::finished:
      return "finished";
  }
  return "requested";
}

CloudFileMaterializationError::CloudFileMaterializationError(Case kind, std::string path, std::string message)
    : Error("CloudFileMaterializationError", static_cast<long>(kind), std::move(message)),
      kind_(kind),
      path_(std::move(path)) {}

CloudFileMaterializationError CloudFileMaterializationError::datalessFileRequiresPolicy(const std::string& path) {
  return CloudFileMaterializationError(Case::datalessFileRequiresPolicy, path,
                                       "Cloud-only file contents are not present on disk: " + path);
}

CloudFileMaterializationError CloudFileMaterializationError::downloadTimedOut(const std::string& path) {
  return CloudFileMaterializationError(Case::downloadTimedOut, path,
                                       "Timed out while downloading cloud-only file contents: " + path);
}

CloudFileStatus SystemCloudFileMaterializer::status(const std::filesystem::path& url) const {
  SystemCloudFileResourceValues values = resourceValues(url);
  return CloudFileStatus{values.isUbiquitousItem, !contentsPresent(values)};
}

void SystemCloudFileMaterializer::materialize(const std::filesystem::path& url,
                                              const ProgressHandler& onProgress) const {
  using Stage = CloudFileMaterializationProgress::Stage;
  const double start = now();
  if (onProgress) onProgress({Stage::requested, 0});
  startDownloading(url);
  const double deadline = start + downloadTimeout;
  SystemCloudFileResourceValues values = resourceValues(url);
  for (;;) {
    if (contentsPresent(values)) {
      if (onProgress) onProgress({Stage::finished, now() - start});
      return;
    }
    const double current = now();
    if (onProgress) onProgress({Stage::waiting, current - start});
    if (!(current < deadline)) throw CloudFileMaterializationError::downloadTimedOut(url.string());
    sleep(downloadPollInterval);
    values = resourceValues(url);
  }
}

SystemCloudFileResourceValues SystemCloudFileMaterializer::defaultResourceValues(const std::filesystem::path& url) {
  struct stat info {};
  if (::lstat(url.c_str(), &info) != 0) throw PosixError("lstat", errno, url.string());
  return SystemCloudFileResourceValues{};
}

double SystemCloudFileMaterializer::defaultNow() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void SystemCloudFileMaterializer::defaultSleep(double seconds) {
  if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

}  // namespace tvr
