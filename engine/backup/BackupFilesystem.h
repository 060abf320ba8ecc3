#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

namespace tvr {

// A pre-order walk of a folder tree that never follows symbolic links. Owned by its caller;
// not thread-safe. Problems with single items (an unreadable folder) go to the error
// handler given when it was made, and the walk goes on; `next` itself does not throw.
class DirectoryEnumerator {
 public:
  enum class ItemType { regularFile, directory, symbolicLink, other };
  struct Item {
    std::filesystem::path path;  // the root joined with the item's relative path
    ItemType type;
    std::int64_t size;  // of a regular file; 0 otherwise
  };
  // Receives the path of the item that failed and the error.
  using ErrorHandler = std::function<void(const std::filesystem::path&, const std::exception&)>;

  virtual ~DirectoryEnumerator() = default;
  // The next item below the root (the root itself is not an item), or nullopt at the end.
  virtual std::optional<Item> next() = 0;
  // Leaves out everything below the directory `next` returned last.
  virtual void skipDescendants() = 0;
};

// Makes an enumerator of the tree under `root`, or nullptr when the root cannot be listed.
using DirectoryEnumeratorFactory = std::function<std::unique_ptr<DirectoryEnumerator>(
    const std::filesystem::path& root, DirectoryEnumerator::ErrorHandler onError)>;

// File-system helpers of the backup run engine. Stateless.
struct BackupFilesystem {
  static constexpr std::int64_t kMaxCloneFiles = 200000;
  static constexpr std::int64_t kMaxCloneBytes = 1000000000000;  // 10^12
  // Folders of this name prefix inside a source are clones made by earlier runs.
  static constexpr const char* kCloneFolderPrefix = ".TovarineClone-";

  struct CloneLimits {
    bool ok = false;
    std::int64_t files = 0;
    std::int64_t bytes = 0;
    bool operator==(const CloneLimits& other) const = default;
  };

  // The walk over real folders with std::filesystem and lstat.
  static std::unique_ptr<DirectoryEnumerator> makeDirectoryEnumerator(const std::filesystem::path& root,
                                                                      DirectoryEnumerator::ErrorHandler onError);

  // Counts the regular files under `sourceRoot` and their bytes, stopping as soon as either
  // limit is passed; `ok` when both counts are within the limits. Clone folders of earlier
  // runs are not counted (they are never cloned). Items that cannot be read are passed over.
  static CloneLimits preflightCloneLimits(const std::filesystem::path& sourceRoot,
                                          const DirectoryEnumeratorFactory& makeEnumerator = makeDirectoryEnumerator);
};

}  // namespace tvr
