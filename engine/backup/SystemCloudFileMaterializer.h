#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/Error.h"

namespace tvr {

// Progress of one download of a cloud-only file.
struct CloudFileMaterializationProgress {
  enum class Stage { requested, waiting, finished };
  Stage stage;
  double elapsedSeconds;  // since the download was requested
  bool operator==(const CloudFileMaterializationProgress& other) const = default;
};

// "requested", "waiting", "finished".
const char* cloudFileMaterializationStageName(CloudFileMaterializationProgress::Stage stage);

// Errors of cloud-only file handling; domain "CloudFileMaterializationError", code 0 for
// datalessFileRequiresPolicy and 1 for downloadTimedOut.
class CloudFileMaterializationError : public Error {
 public:
  enum class Case { datalessFileRequiresPolicy, downloadTimedOut };

  static CloudFileMaterializationError datalessFileRequiresPolicy(const std::string& path);
  static CloudFileMaterializationError downloadTimedOut(const std::string& path);

  Case kind() const noexcept { return kind_; }
  const std::string& path() const noexcept { return path_; }

 private:
  CloudFileMaterializationError(Case kind, std::string path, std::string message);
  Case kind_;
  std::string path_;
};

// What the system says about one file's place in cloud storage.
struct SystemCloudFileResourceValues {
  bool isUbiquitousItem = false;
  std::optional<std::string> downloadingStatus;
  bool operator==(const SystemCloudFileResourceValues& other) const = default;
};

// The platform's downloading-status texts.
inline constexpr const char* kUbiquitousItemDownloadingStatusNotDownloaded =
    "NSURLUbiquitousItemDownloadingStatusNotDownloaded";
inline constexpr const char* kUbiquitousItemDownloadingStatusDownloaded =
    "NSURLUbiquitousItemDownloadingStatusDownloaded";
inline constexpr const char* kUbiquitousItemDownloadingStatusCurrent = "NSURLUbiquitousItemDownloadingStatusCurrent";

struct CloudFileStatus {
  bool isUbiquitous = false;
  bool isDataless = false;  // in cloud storage with its contents not on disk
  bool operator==(const CloudFileStatus& other) const = default;
};

// How the run engine asks about and downloads cloud-only source files.
class CloudFileMaterializing {
 public:
  using ProgressHandler = std::function<void(const CloudFileMaterializationProgress&)>;
  virtual ~CloudFileMaterializing() = default;
  virtual CloudFileStatus status(const std::filesystem::path& url) const = 0;
  // Returns once the file's contents are on disk; throws downloadTimedOut or the platform's
  // error. `onProgress` may be empty.
  virtual void materialize(const std::filesystem::path& url, const ProgressHandler& onProgress = {}) const = 0;
};

// Downloads a cloud-only file through replaceable system operations and waits, polling its
// status, until its contents are present or the time limit passes. A plain value; a call
// blocks its thread while it waits. On Linux nothing is in cloud storage by default, so
// `status` reports an ordinary file and `materialize` returns after one query. Throws what
// the operations throw, and downloadTimedOut.
struct SystemCloudFileMaterializer final : CloudFileMaterializing {
  double downloadPollInterval = 0.5;  // seconds
  double downloadTimeout = 43200;     // seconds (12 hours)
  std::function<SystemCloudFileResourceValues(const std::filesystem::path&)> resourceValues = defaultResourceValues;
  std::function<void(const std::filesystem::path&)> startDownloading = [](const std::filesystem::path&) {};
  std::function<void(const std::filesystem::path&)> evictUbiquitousItem = [](const std::filesystem::path&) {};
  // Monotonic seconds and a sleep, replaceable so that tests do not wait.
  std::function<double()> now = defaultNow;
  std::function<void(double seconds)> sleep = defaultSleep;

  CloudFileStatus status(const std::filesystem::path& url) const override;
  void materialize(const std::filesystem::path& url, const ProgressHandler& onProgress = {}) const override;
  // Asks the system to drop the local copy of a file it keeps in cloud storage.
  void evict(const std::filesystem::path& url) const { evictUbiquitousItem(url); }

  // Not ubiquitous, no status; throws PosixError("lstat") when nothing is at the path.
  static SystemCloudFileResourceValues defaultResourceValues(const std::filesystem::path& url);
  static double defaultNow();
  static void defaultSleep(double seconds);
};

}  // namespace tvr
