#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
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
  // Encrypted blobs: the key and plaintext size of the content stored, which the caller
  // records. They differ from the planned key and size when the file changed after it was
  // planned (`contentChanged`).
  std::string blobKey;
  std::int64_t plaintextSize = 0;
  bool contentChanged = false;
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

// Makes sure the blob of each content is stored once per run, in the local repository folder
// (blobs/<first two characters>/<key>) or, with a remote backend, as that object. Encrypted
// blobs are sealed into destinationRoot/".upload-staging" (uniquely named) while the key and
// size of the bytes actually sealed are computed in the same pass; the blob is stored under
// that key, which the result reports, so a file edited after its key was planned is never
// stored under a key that does not match it. Stored local blobs are authenticated before
// being trusted and rewritten (with a `general` warning) when damaged; a stored remote blob
// is never overwritten. Caches what it wrote or validated, so a key costs one check per
// session. One per run; thread-safe, so a pool of workers may seal files through it at once.
// Blob keys must be 64 lowercase hexadecimal digits (EngineError.ioError "Invalid blob key:
// " + key otherwise). File-system, sealing, upload and download errors pass through
// unchanged; a source that keeps shrinking while it is sealed fails with the codec's
// "Failed to read the expected plaintext chunk.".
class BlobStoreSession {
 public:
  static constexpr const char* kStagingFolderName = ".upload-staging";

  explicit BlobStoreSession(std::filesystem::path destinationRoot,
                            std::shared_ptr<RepositoryStorageBackend> remoteBackend = nullptr);

  const std::filesystem::path& destinationRoot() const noexcept { return destinationRoot_; }
  const std::shared_ptr<RepositoryStorageBackend>& remoteBackend() const noexcept { return remoteBackend_; }

  // Once per run before the first blob: the staging folder (remote) or "blobs" (local).
  void ensureRoot();

  // Seals the plaintext file `source`, planned as the content of `blobKey`, unless a valid
  // blob of that key is there. `sealingThreads` > 1 seals the chunks of a large file in
  // parallel.
  BlobWriteResult ensureEncryptedBlobPresent(const std::filesystem::path& source, const std::string& blobKey,
                                             const EncryptedBlobCodec& codec, std::vector<BackupWarning>& warnings,
                                             const CancellationToken& cancel = CancellationToken::none(),
                                             unsigned sealingThreads = 1);
  // The same for a file whose key was not planned: it is known once the file is sealed.
  BlobWriteResult ensureEncryptedBlobPresent(const std::filesystem::path& source, const EncryptedBlobCodec& codec,
                                             std::vector<BackupWarning>& warnings,
                                             const CancellationToken& cancel = CancellationToken::none(),
                                             unsigned sealingThreads = 1);

  // Stores `source` byte for byte (unencrypted layout); `expectedSize` is its size.
  BlobWriteResult ensureBlobPresent(const std::filesystem::path& source, const std::string& blobKey,
                                    std::int64_t expectedSize, std::vector<BackupWarning>& warnings,
                                    const CancellationToken& cancel = CancellationToken::none());

  // The local blob file of a key; makes its prefix folder on first use in this session.
  std::filesystem::path blobURL(const std::string& blobKey);

 private:
  BlobWriteResult ensureEncrypted(const std::filesystem::path& source, const std::optional<std::string>& plannedKey,
                                  const EncryptedBlobCodec& codec, std::vector<BackupWarning>& warnings,
                                  const CancellationToken& cancel, unsigned sealingThreads);
  std::optional<BlobWriteResult> cached(const std::string& blobKey);
  void remember(const std::string& blobKey, std::int64_t byteCount, std::int64_t plaintextSize);

  std::filesystem::path destinationRoot_;
  std::shared_ptr<RepositoryStorageBackend> remoteBackend_;
  std::set<std::string> ensuredPrefixes_;
  std::mutex mutex_;  // guards the two collections below
  std::map<std::string, std::int64_t> validatedByteCounts_;
  std::map<std::string, std::int64_t> plaintextSizes_;
};

}  // namespace tvr
