#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/backup/BackupFilesystem.h"
#include "engine/backup/BackupWarning.h"

namespace tvr {

// Freezes a backup source before a run: on an APFS volume, within the clone limits, it makes
// a copy-on-write clone of the source tree in a hidden ".TovarineClone-<UUID>" folder inside
// the source. Construction decides and clones and never throws; problems land in `warnings`
// and the run then reads the live source. The session owns the clone folder and removes it
// in `cleanup()` or when dropped. One per run; not thread-safe.
class APFSCloneSession {
 public:
  // Replaceable operations; each defaults to the real one.
  struct TestingHooks {
    std::function<bool(const std::filesystem::path&)> isAPFSVolume = defaultIsAPFSVolume;
    std::function<BackupFilesystem::CloneLimits(const std::filesystem::path&)> preflightCloneLimits =
        [](const std::filesystem::path& root) { return BackupFilesystem::preflightCloneLimits(root); };
    // Clones one regular file; returns 0 or a non-zero status with errno set.
    std::function<std::int32_t(const std::string& source, const std::string& destination)> copyFileClone =
        defaultCopyFileClone;
    DirectoryEnumeratorFactory makeEnumerator = BackupFilesystem::makeDirectoryEnumerator;
    // When set, replaces the clone procedure: fills the clone folder (second argument) from
    // the source (first) and throws on failure.
    std::function<void(const std::filesystem::path& sourceRoot, const std::filesystem::path& cloneFolder)>
        cloneContentsOverride;
  };

  explicit APFSCloneSession(std::filesystem::path sourceURL);
  APFSCloneSession(std::filesystem::path sourceURL, TestingHooks testingHooks);
  ~APFSCloneSession();
  APFSCloneSession(const APFSCloneSession&) = delete;
  APFSCloneSession& operator=(const APFSCloneSession&) = delete;

  const std::filesystem::path& sourceRoot() const noexcept { return sourceRoot_; }
  const std::vector<BackupPlanError>& warnings() const noexcept { return warnings_; }
  const std::optional<std::filesystem::path>& cloneRoot() const noexcept { return cloneRoot_; }
  bool didClone() const noexcept { return didClone_; }

  // Removes the clone folder when one was made; a failure to remove is dropped. Calling it
  // again does nothing.
  void cleanup() noexcept;

  // statfs: true only when the volume holding `url` is APFS.
  static bool defaultIsAPFSVolume(const std::filesystem::path& url);
  // Clones `source` to the new file `destination` with the FICLONE ioctl (shared extents, no
  // data copied) and carries over its mode, times and extended attributes. Where the file
  // system has no reflinks it returns -1 with errno set (EOPNOTSUPP, EXDEV...) and leaves no
  // destination file behind.
  static std::int32_t defaultCopyFileClone(const std::string& source, const std::string& destination);

  // "Skipping APFS directory clone (too large: ...)" for the given counts.
  static std::string tooLargeMessage(std::int64_t files, std::int64_t bytes);

 private:
  void cloneSource();
  void cloneContents(const std::filesystem::path& cloneFolder);

  std::filesystem::path sourceRoot_;
  std::vector<BackupPlanError> warnings_;
  TestingHooks testingHooks_;
  std::optional<std::filesystem::path> cloneRoot_;
  bool didClone_ = false;
};

}  // namespace tvr
