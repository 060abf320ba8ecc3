#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/storage/RepositoryObjectKey.h"
#include "engine/storage/RepositoryObjectKeyList.h"
#include "platform/Cancellation.h"

namespace tvr {

// How writeObject treats an existing object.
struct RepositoryObjectWriteMode {
  enum class Kind { createIfAbsent, replace };

  // Write only when no object exists; an existing one counts as written, and when
  // `expectedSize` is given its size must equal it.
  static RepositoryObjectWriteMode createIfAbsent(std::optional<std::int64_t> expectedSize = std::nullopt) {
    return {Kind::createIfAbsent, expectedSize};
  }
  // Always write, replacing any existing object.
  static RepositoryObjectWriteMode replace() { return {Kind::replace, std::nullopt}; }

  Kind kind;
  std::optional<std::int64_t> expectedSize;  // only meaningful for createIfAbsent

  bool operator==(const RepositoryObjectWriteMode& other) const {
    if (kind != other.kind) return false;
    return kind == Kind::replace || expectedSize == other.expectedSize;
  }
};

struct RepositoryObjectWriteResult {
  enum class Status { written, skippedExisting };
  Status status;
  std::int64_t byteCount;  // the object's size in the store after the call

  bool operator==(const RepositoryObjectWriteResult& other) const = default;
};

// The object store of a repository: a local folder or an S3-compatible bucket.
// Operations block; each checks `cancel` before it starts work (network backends also
// while they wait) and throws CancellationError. Failures throw tvr::Error.
// What callers rely on: createIfAbsent never overwrites and reports skippedExisting with the
// existing size (failing on a size mismatch when a size is expected); `written` only when
// bytes were stored; listObjectKeys returns each key once, sorted, as valid keys; readObject
// leaves either the complete object or no change at the destination.
class RepositoryStorageBackend {
 public:
  virtual ~RepositoryStorageBackend() = default;

  // A short human name of the kind of store, for messages ("Folder").
  virtual std::string displayName() const = 0;

  virtual bool objectExists(const RepositoryObjectKey& key,
                            const CancellationToken& cancel = CancellationToken::none()) = 0;

  // Stores the contents of the local file `from` under `key`.
  virtual RepositoryObjectWriteResult writeObject(const std::filesystem::path& from, const RepositoryObjectKey& key,
                                                  const RepositoryObjectWriteMode& mode,
                                                  const CancellationToken& cancel = CancellationToken::none()) = 0;

  // Copies the object's bytes into the local file `to`, replacing it atomically.
  virtual void readObject(const RepositoryObjectKey& key, const std::filesystem::path& to,
                          const CancellationToken& cancel = CancellationToken::none()) = 0;

  // Removes the object; removing a missing object succeeds.
  virtual void deleteObject(const RepositoryObjectKey& key,
                            const CancellationToken& cancel = CancellationToken::none()) = 0;

  // Every object key, or those whose raw string begins with `prefix`.
  virtual std::vector<RepositoryObjectKey> listObjectKeys(
      const std::optional<std::string>& prefix = std::nullopt,
      const CancellationToken& cancel = CancellationToken::none()) = 0;

  // The same listing held compactly, with each object's size where the store tells it
  // cheaply (RepositoryObjectKeyList::kUnknownSize otherwise).
  virtual RepositoryObjectKeyList listObjectsWithSizes(const std::optional<std::string>& prefix = std::nullopt,
                                                       const CancellationToken& cancel = CancellationToken::none()) {
    RepositoryObjectKeyList list;
    for (const RepositoryObjectKey& key : listObjectKeys(prefix, cancel)) list.append(key.rawValue());
    return list;
  }

  // How many transfers are worth running at once against this store.
  virtual unsigned preferredTransferConcurrency() const { return 1; }
};

}  // namespace tvr
