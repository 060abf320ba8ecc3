#pragma once

#include <cstdint>
#include <filesystem>

#include "engine/storage/RepositoryStorageBackend.h"
#include "platform/Cancellation.h"

namespace tvr {

struct RepositoryMirrorSummary {
  std::int64_t objectsScanned = 0;
  std::int64_t objectsWritten = 0;
  std::int64_t objectsSkipped = 0;  // already in the backend and verified equal
  std::int64_t bytesWritten = 0;

  bool operator==(const RepositoryMirrorSummary& other) const = default;
};

// Uploads the objects of a local repository folder to a storage backend: the blobs only
// when absent (an existing copy is downloaded beside the local file and compared byte for
// byte), then "catalog.sqlite", "plans.json" and "repo.json", always replaced. One object at
// a time in key order. Stateless; the backend is borrowed for the call. Throws the
// backend's errors unchanged, file system errors, CancellationError before the next object,
// and EngineError.ioError for a blob outside the root, an invalid key, or a remote blob
// whose bytes differ from the local one.
namespace RepositoryObjectMirror {

RepositoryMirrorSummary mirrorLocalRepository(const std::filesystem::path& atRoot, RepositoryStorageBackend& backend,
                                              const CancellationToken& cancel = CancellationToken::none());

}  // namespace RepositoryObjectMirror
}  // namespace tvr
