#include "engine/storage/RestoreDestination.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <string_view>

#include "platform/Error.h"
#include "platform/FileSystem.h"

namespace tvr {

DestinationRefusal fileDestinationRefusal(const std::filesystem::path& destination, bool overwrite) {
  if (overwrite || !itemExists(destination)) return DestinationRefusal::none;
  return DestinationRefusal::existingItem;
}

DestinationRefusal folderDestinationRefusal(const std::filesystem::path& destination, bool overwrite) {
  if (overwrite) return DestinationRefusal::none;
  struct stat status {};
  if (::lstat(destination.c_str(), &status) != 0) {
    // A component that is a file means nothing can be there either.
    if (errno == ENOENT || errno == ENOTDIR) return DestinationRefusal::none;
    throw PosixError("lstat", errno, destination.string());
  }
  struct stat target {};
  if (::stat(destination.c_str(), &target) != 0 || !S_ISDIR(target.st_mode)) return DestinationRefusal::existingFile;

  std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(destination.c_str()), ::closedir);
  if (!directory) throw PosixError("opendir", errno, destination.string());
  for (;;) {
    errno = 0;
    const dirent* item = ::readdir(directory.get());
    if (item == nullptr) {
      if (errno != 0) throw PosixError("readdir", errno, destination.string());
      return DestinationRefusal::none;
    }
    const std::string_view name(item->d_name);
    if (name != "." && name != "..") return DestinationRefusal::nonEmptyDirectory;
  }
}

}  // namespace tvr
