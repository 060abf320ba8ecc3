#pragma once

#include <cstdint>
#include <filesystem>

#include "engine/storage/RepositoryObjectKey.h"
#include "engine/storage/RepositoryStorageBackend.h"
#include "platform/Cancellation.h"

namespace tvr {

struct RepositoryHydrationSummary {
  std::int64_t objectsRead = 0;
  std::int64_t bytesRead = 0;  // sum of the sizes of the written destination files

  bool operator==(const RepositoryHydrationSummary& other) const = default;
};

// Rebuilds a local repository folder from every object a storage backend holds: one
// listing, then downloads into the same relative paths under the destination, by a pool of
// `concurrentTransfers` workers (0: the backend's preferred number) taking the keys in key
// order. Each download lands atomically through a temporary sibling of its file. A blob
// already present as a regular file of the listed size is kept, not downloaded again: blob
// keys name their contents, so an interrupted hydration rerun into the same folder resumes.
// The other objects (repo.json, plans.json, catalog.sqlite) change in place in a repository,
// so they are always downloaded. The summary counts every listed object and the size of
// every destination file, kept or downloaded. Copies bytes only. Stateless; the backend is
// borrowed for the call and used from several threads. On a failure no further key is
// started, the transfers under way finish, and the failure of the first key in key order is
// thrown: the backend's errors unchanged, file system errors, CancellationError, and
// EngineError.ioError for a key that fails validation or would land outside the
// destination (an empty, "." or ".." segment, or a parent that resolves elsewhere through
// a symbolic link).
namespace RepositoryObjectHydrator {

RepositoryHydrationSummary hydrateRepository(RepositoryStorageBackend& backend, const std::filesystem::path& toRoot,
                                             const CancellationToken& cancel = CancellationToken::none(),
                                             unsigned concurrentTransfers = 0);

// The local file for one key, guaranteed to lie inside `root`; creates its parent folders.
std::filesystem::path confinedDestination(const RepositoryObjectKey& key, const std::filesystem::path& root);

}  // namespace RepositoryObjectHydrator
}  // namespace tvr
