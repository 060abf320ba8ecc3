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
// listing, then one download at a time in key order, each into the same relative path
// under the destination. Copies bytes only. Stateless; the backend is borrowed for the call.
// Throws the backend's errors unchanged, file system errors, and EngineError.ioError for a
// key that fails validation or would land outside the destination (an empty, "." or ".."
// segment, or a parent that resolves elsewhere through a symbolic link).
namespace RepositoryObjectHydrator {

RepositoryHydrationSummary hydrateRepository(RepositoryStorageBackend& backend, const std::filesystem::path& toRoot,
                                             const CancellationToken& cancel = CancellationToken::none());

// The local file for one key, guaranteed to lie inside `root`; creates its parent folders.
std::filesystem::path confinedDestination(const RepositoryObjectKey& key, const std::filesystem::path& root);

}  // namespace RepositoryObjectHydrator
}  // namespace tvr
