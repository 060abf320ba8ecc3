#include "engine/backup/BackupFilesystem.h"

#include <string>
#include <vector>

#include "platform/Error.h"

namespace tvr {

namespace fs = std::filesystem;

namespace {

class FilesystemDirectoryEnumerator final : public DirectoryEnumerator {
 public:
  FilesystemDirectoryEnumerator(fs::directory_iterator first, DirectoryEnumerator::ErrorHandler onError)
      : onError_(std::move(onError)) {
    stack_.push_back(std::move(first));
  }

  std::optional<Item> next() override {
    if (pendingDirectory_) {
      fs::path directory = std::move(*pendingDirectory_);
      pendingDirectory_.reset();
      std::error_code ec;
      fs::directory_iterator it(directory, ec);
      if (ec) {
        report(directory, PosixError("opendir", ec.value(), directory.string()));
      } else {
        stack_.push_back(std::move(it));
      }
    }
    while (!stack_.empty()) {
      fs::directory_iterator& it = stack_.back();
      if (it == fs::directory_iterator()) {
        stack_.pop_back();
        continue;
      }
      const fs::directory_entry entry = *it;
      std::error_code ec;
      it.increment(ec);
      if (ec) {
        // The rest of this folder cannot be read; report it and go on with its parent.
        report(entry.path().parent_path(), PosixError("readdir", ec.value(), entry.path().parent_path().string()));
        stack_.pop_back();
      }
      std::optional<Item> item = describe(entry);
      if (!item) continue;
      if (item->type == ItemType::directory) pendingDirectory_ = item->path;
      return item;
    }
    return std::nullopt;
  }

  void skipDescendants() override { pendingDirectory_.reset(); }

 private:
  std::optional<Item> describe(const fs::directory_entry& entry) {
    std::error_code ec;
    fs::file_status status = entry.symlink_status(ec);
    if (ec) {
      report(entry.path(), PosixError("lstat", ec.value(), entry.path().string()));
      return std::nullopt;
    }
    Item item{entry.path(), ItemType::other, 0};
    switch (status.type()) {
      case fs::file_type::regular: {
        item.type = ItemType::regularFile;
        std::uintmax_t size = entry.file_size(ec);
        if (ec) {
          report(entry.path(), PosixError("stat", ec.value(), entry.path().string()));
          return std::nullopt;
        }
        item.size = static_cast<std::int64_t>(size);
        break;
      }
      case fs::file_type::directory:
        item.type = ItemType::directory;
        break;
      case fs::file_type::symlink:
        item.type = ItemType::symbolicLink;
        break;
      default:
        break;
    }
    return item;
  }

  void report(const fs::path& path, const std::exception& error) {
    if (onError_) onError_(path, error);
  }

  DirectoryEnumerator::ErrorHandler onError_;
  std::vector<fs::directory_iterator> stack_;
  std::optional<fs::path> pendingDirectory_;
};

bool isCloneFolderName(const fs::path& path) {
  return path.filename().string().rfind(BackupFilesystem::kCloneFolderPrefix, 0) == 0;
}

}  // namespace

std::unique_ptr<DirectoryEnumerator> BackupFilesystem::makeDirectoryEnumerator(
    const fs::path& root, DirectoryEnumerator::ErrorHandler onError) {
  std::error_code ec;
  fs::file_status status = fs::symlink_status(root, ec);
  if (ec || status.type() != fs::file_type::directory) return nullptr;
  fs::directory_iterator first(root, ec);
  if (ec) return nullptr;
  return std::make_unique<FilesystemDirectoryEnumerator>(std::move(first), std::move(onError));
}

BackupFilesystem::CloneLimits BackupFilesystem::preflightCloneLimits(const fs::path& sourceRoot,
                                                                     const DirectoryEnumeratorFactory& makeEnumerator) {
  CloneLimits limits;
  // Unreadable items are left to the clone walk, which reports them.
  std::unique_ptr<DirectoryEnumerator> enumerator =
      makeEnumerator(sourceRoot, [](const fs::path&, const std::exception&) {});
  if (enumerator) {
    while (std::optional<DirectoryEnumerator::Item> item = enumerator->next()) {
      if (item->type == DirectoryEnumerator::ItemType::directory && isCloneFolderName(item->path)) {
        enumerator->skipDescendants();
        continue;
      }
      if (item->type != DirectoryEnumerator::ItemType::regularFile) continue;
      limits.files += 1;
      limits.bytes += item->size;
      if (limits.files > kMaxCloneFiles || limits.bytes > kMaxCloneBytes) break;
    }
  }
  limits.ok = limits.files <= kMaxCloneFiles && limits.bytes <= kMaxCloneBytes;
  return limits;
}

}  // namespace tvr
