#include "engine/backup/APFSCloneSession.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/SecureRandom.h"

namespace tvr {

namespace fs = std::filesystem;

namespace {

// Superblock magics the Linux APFS drivers report ("NXSB" container, "APSB" volume).
constexpr unsigned long kAPFSContainerMagic = 0x4253584E;
constexpr unsigned long kAPFSVolumeMagic = 0x42535041;

bool isCloneFolderName(const fs::path& path) {
  return path.filename().string().rfind(BackupFilesystem::kCloneFolderPrefix, 0) == 0;
}

// Copies the extended attributes the caller may set; attributes of namespaces reserved to
// privileged processes (security.*, trusted.*) are passed over, as copyfile does for a user.
bool copyExtendedAttributes(int from, int to) {
  ssize_t length = ::flistxattr(from, nullptr, 0);
  if (length < 0) return errno == ENOTSUP;
  std::string names(static_cast<std::size_t>(length), '\0');
  length = ::flistxattr(from, names.data(), names.size());
  if (length < 0) return false;
  names.resize(static_cast<std::size_t>(length));
  for (std::size_t start = 0; start < names.size();) {
    std::string name(names.c_str() + start);
    start += name.size() + 1;
    if (name.empty()) continue;
    ssize_t size = ::fgetxattr(from, name.c_str(), nullptr, 0);
    if (size < 0) return false;
    std::string value(static_cast<std::size_t>(size), '\0');
    size = ::fgetxattr(from, name.c_str(), value.data(), value.size());
    if (size < 0) return false;
    if (::fsetxattr(to, name.c_str(), value.data(), static_cast<std::size_t>(size), 0) != 0 && errno != EPERM &&
        errno != ENOTSUP && errno != EACCES) {
      return false;
    }
  }
  return true;
}

}  // namespace

APFSCloneSession::APFSCloneSession(fs::path sourceURL) : APFSCloneSession(std::move(sourceURL), TestingHooks{}) {}

APFSCloneSession::APFSCloneSession(fs::path sourceURL, TestingHooks testingHooks)
    : sourceRoot_(std::move(sourceURL)), testingHooks_(std::move(testingHooks)) {
  // Nothing here may stop the run: every failure becomes a warning on the source path.
  try {
    if (!testingHooks_.isAPFSVolume(sourceRoot_)) return;
    BackupFilesystem::CloneLimits limits = testingHooks_.preflightCloneLimits(sourceRoot_);
    if (!limits.ok) {
      warnings_.push_back(BackupPlanError::make(sourceRoot_.string(),
                                                EngineError::ioError(tooLargeMessage(limits.files, limits.bytes))));
      return;
    }
    cloneSource();
  } catch (...) {
    warnings_.push_back(BackupPlanError::make(sourceRoot_.string(), std::current_exception()));
  }
}

APFSCloneSession::~APFSCloneSession() { cleanup(); }

void APFSCloneSession::cleanup() noexcept {
  if (!didClone_ || !cloneRoot_) return;
  std::error_code ec;
  // A clone that cannot be removed stays as a hidden folder that later clones skip.
  fs::remove_all(*cloneRoot_, ec);
  didClone_ = false;
  cloneRoot_.reset();
}

std::string APFSCloneSession::tooLargeMessage(std::int64_t files, std::int64_t bytes) {
  return "Skipping APFS directory clone (too large: " + std::to_string(files) + " files, " + std::to_string(bytes) +
         " bytes; limits: " + std::to_string(BackupFilesystem::kMaxCloneFiles) + " files, " +
         std::to_string(BackupFilesystem::kMaxCloneBytes) + " bytes).";
}

void APFSCloneSession::cloneSource() {
  fs::path folder = sourceRoot_ / (std::string(BackupFilesystem::kCloneFolderPrefix) + newUUIDString());
  // Owner-only: the clone holds the user's files outside the folders that guarded them.
  if (::mkdir(folder.c_str(), 0700) != 0) throw PosixError("mkdir", errno, folder.string());
  try {
    if (testingHooks_.cloneContentsOverride) {
      testingHooks_.cloneContentsOverride(sourceRoot_, folder);
    } else {
      cloneContents(folder);
    }
  } catch (...) {
    std::error_code ec;
    // A half-made clone that cannot be removed is skipped by later runs; the run goes on.
    fs::remove_all(folder, ec);
    warnings_.push_back(BackupPlanError::make(sourceRoot_.string(), std::current_exception()));
    return;
  }
  cloneRoot_ = folder;
  didClone_ = true;
}

void APFSCloneSession::cloneContents(const fs::path& cloneFolder) {
  std::unique_ptr<DirectoryEnumerator> enumerator =
      testingHooks_.makeEnumerator(sourceRoot_, [this](const fs::path& path, const std::exception& error) {
        warnings_.push_back(BackupPlanError::make(path.string(), error));
      });
  if (!enumerator) {
    throw EngineError::ioError("Failed to enumerate " + sourceRoot_.string() + " for cloning");
  }
  while (std::optional<DirectoryEnumerator::Item> item = enumerator->next()) {
    fs::path relative = item->path.lexically_relative(sourceRoot_);
    // An enumerator that strays outside the source must not make us write outside the clone.
    if (relative.empty() || *relative.begin() == "..") {
      if (item->type == DirectoryEnumerator::ItemType::directory) enumerator->skipDescendants();
      continue;
    }
    fs::path target = cloneFolder / relative;
    switch (item->type) {
      case DirectoryEnumerator::ItemType::directory:
        if (isCloneFolderName(item->path)) {
          enumerator->skipDescendants();
          break;
        }
        createDirectories(target);
        break;
      case DirectoryEnumerator::ItemType::symbolicLink: {
        std::error_code ec;
        fs::path destination = fs::read_symlink(item->path, ec);
        if (ec) throw PosixError("readlink", ec.value(), item->path.string());
        createDirectories(target.parent_path());
        if (::symlink(destination.c_str(), target.c_str()) != 0) {
          throw PosixError("symlink", errno, target.string());
        }
        break;
      }
      case DirectoryEnumerator::ItemType::regularFile: {
        createDirectories(target.parent_path());
        errno = 0;
        std::int32_t status = testingHooks_.copyFileClone(item->path.string(), target.string());
        int err = errno;
        if (status != 0) {
          throw PosixError("copyfile(clone-file)", err != 0 ? err : EIO, item->path.string());
        }
        break;
      }
      case DirectoryEnumerator::ItemType::other:
        break;
    }
  }
}

bool APFSCloneSession::defaultIsAPFSVolume(const fs::path& url) {
  struct statfs info {};
  if (::statfs(url.c_str(), &info) != 0) return false;
  auto type = static_cast<unsigned long>(info.f_type);
  return type == kAPFSContainerMagic || type == kAPFSVolumeMagic;
}

std::int32_t APFSCloneSession::defaultCopyFileClone(const std::string& source, const std::string& destination) {
  OpenFile from(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (from.get() < 0) return -1;
  struct stat info {};
  if (::fstat(from.get(), &info) != 0) return -1;
  OpenFile to(::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (to.get() < 0) return -1;
  bool ok = ::ioctl(to.get(), FICLONE, from.get()) == 0 && ::fchmod(to.get(), info.st_mode & 07777) == 0 &&
            copyExtendedAttributes(from.get(), to.get());
  if (ok) {
    struct timespec times[2] = {info.st_atim, info.st_mtim};
    ok = ::futimens(to.get(), times) == 0;
  }
  if (!ok) {
    int err = errno;
    to.reset();
    ::unlink(destination.c_str());
    errno = err;
    return -1;
  }
  return 0;
}

}  // namespace tvr
