#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/backup/BackupWarning.h"
#include "engine/storage/RepositoryStorageBackend.h"
#include "platform/Cancellation.h"

namespace tvr {

class EncryptedBlobCodec;

struct BlobWriteResult {
  bool alreadyPresent = false;  // the blob was stored and valid; nothing was written
  std::int64_t byteCount = 0;   // size of the stored (encrypted, where it is) blob
  bool operator==(const BlobWriteResult& other) const = default;
};

// The local primitives of the older, unencrypted blob layout. Stateless; failures throw
// PosixError.
struct BlobStore {
  // Creates root/"blobs" when nothing is at that path.
  static void ensureRoot(const std::filesystem::path& root);
  // Makes `blob` a byte copy of `source` unless a file of `expectedSize` bytes is already
  // there; a file of another size is replaced, with the warning
  // "Existing blob size mismatch; rewriting".
  static BlobWriteResult ensureBlobPresent(const std::filesystem::path& source, const std::filesystem::path& blob,
                                           std::int64_t expectedSize, std::vector<BackupWarning>& warnings);
};

// Makes sure the blob of each blob key is stored once per run, in the local repository folder
// (blobs/<first two characters>/<key>) or, with a remote backend, as that object, staging
// sealed blobs under destinationRoot/".upload-staging". Stored local blobs are
// authenticated before being trusted and rewritten (with a `general` warning) when damaged;
// a stored remote blob is never overwritten. Caches what it wrote or validated, so a key
// costs one check per session. One per run, used by one thread at a time; it assumes a
// single run per repository (staging names are per key). Blob keys must be 64 lowercase
// hexadecimal digits (EngineError.ioError "Invalid blob key: " + key otherwise).
// File-system, sealing, upload and download errors pass through unchanged.
class BlobStoreSession {
 public:
  static constexpr const char* kStagingFolderName = ".upload-staging";

  explicit BlobStoreSession(std::filesystem::path destinationRoot,
                            std::shared_ptr<RepositoryStorageBackend> remoteBackend = nullptr);

  const std::filesystem::path& destinationRoot() const noexcept { return destinationRoot_; }
  const std::shared_ptr<RepositoryStorageBackend>& remoteBackend() const noexcept { return remoteBackend_; }

  // Once per run before the first blob: the staging folder (remote) or "blobs" (local).
  void ensureRoot();

  // Seals the plaintext file `source` as the blob of `blobKey` unless a valid blob is there.
  BlobWriteResult ensureEncryptedBlobPresent(const std::filesystem::path& source, const std::string& blobKey,
                                             const EncryptedBlobCodec& codec, std::vector<BackupWarning>& warnings,
                                             const CancellationToken& cancel = CancellationToken::none());

  // Stores `source` byte for byte (unencrypted layout); `expectedSize` is its size.
  BlobWriteResult ensureBlobPresent(const std::filesystem::path& source, const std::string& blobKey,
                                    std::int64_t expectedSize, std::vector<BackupWarning>& warnings,
                                    const CancellationToken& cancel = CancellationToken::none());

  // The local blob file of a key; makes its prefix folder on first use in this session.
  std::filesystem::path blobURL(const std::string& blobKey);

 private:
  BlobWriteResult ensureRemoteEncryptedBlobPresent(const std::filesystem::path& source, const std::string& blobKey,
                                                   const EncryptedBlobCodec& codec, const CancellationToken& cancel);

  std::filesystem::path destinationRoot_;
  std::shared_ptr<RepositoryStorageBackend> remoteBackend_;
  std::set<std::string> ensuredPrefixes_;
  std::map<std::string, std::int64_t> validatedByteCounts_;
};

}  // namespace tvr
