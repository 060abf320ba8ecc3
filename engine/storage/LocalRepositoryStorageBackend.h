#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/storage/RepositoryStorageBackend.h"

namespace tvr {

// The repository as files under a local root folder: the object of key "a/b" is root/a/b.
// Files and folders whose names begin with "." (temporary files of atomic writes) are never
// objects. Holds no handles; copyable; safe to use from several threads (concurrent writers
// of one key each write their own temporary file, the last rename wins). Failures throw
// EngineError.ioError or the PosixError of the failed call.
class LocalRepositoryStorageBackend : public RepositoryStorageBackend {
 public:
  // True when `root` contains `file` or is the same item; any error answers false.
  using PathIsInside = std::function<bool(const std::filesystem::path& file, const std::filesystem::path& root)>;

  explicit LocalRepositoryStorageBackend(std::filesystem::path root);
  // For tests that need another containment answer.
  LocalRepositoryStorageBackend(std::filesystem::path root, PathIsInside pathIsInside);

  const std::filesystem::path& root() const noexcept { return root_; }
  // root / key, unchecked.
  std::filesystem::path objectURL(const RepositoryObjectKey& key) const;

  std::string displayName() const override { return "Folder"; }
  bool objectExists(const RepositoryObjectKey& key,
                    const CancellationToken& cancel = CancellationToken::none()) override;
  RepositoryObjectWriteResult writeObject(const std::filesystem::path& from, const RepositoryObjectKey& key,
                                          const RepositoryObjectWriteMode& mode,
                                          const CancellationToken& cancel = CancellationToken::none()) override;
  void readObject(const RepositoryObjectKey& key, const std::filesystem::path& to,
                  const CancellationToken& cancel = CancellationToken::none()) override;
  void deleteObject(const RepositoryObjectKey& key,
                    const CancellationToken& cancel = CancellationToken::none()) override;
  // Every regular file under the root (hidden names and hidden folders skipped, files
  // outside the resolved root refused), sorted by raw key.
  std::vector<RepositoryObjectKey> listObjectKeys(const std::optional<std::string>& prefix = std::nullopt,
                                                  const CancellationToken& cancel = CancellationToken::none()) override;
  // The listing above with each file's size.
  RepositoryObjectKeyList listObjectsWithSizes(const std::optional<std::string>& prefix = std::nullopt,
                                               const CancellationToken& cancel = CancellationToken::none()) override;
  // Copies are bound by the disk and the cores: one per core, at most 8.
  unsigned preferredTransferConcurrency() const override;

 private:
  // objectURL after checking that no link leads it out of the root (EngineError.ioError).
  std::filesystem::path confinedObjectURL(const RepositoryObjectKey& key, bool followFinalLink) const;

  std::filesystem::path root_;
  PathIsInside pathIsInside_;
  // The default answer holds for all files of a folder alike, so the listing asks per folder.
  bool defaultContainment_ = false;
};

}  // namespace tvr
