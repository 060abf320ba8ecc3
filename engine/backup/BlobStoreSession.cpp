#include "engine/backup/BlobStoreSession.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "engine/crypto/EncryptedBlobCodec.h"
#include "platform/AtomicFileWriter.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/SecureRandom.h"

namespace tvr {

namespace fs = std::filesystem;

namespace {

std::int64_t fileSize(const fs::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) throw PosixError("stat", errno, path.string());
  return static_cast<std::int64_t>(info.st_size);
}

// A key of anything but 64 lowercase hex digits could name a path outside "blobs".
void checkBlobKey(const std::string& blobKey) {
  if (!RepositoryObjectKey::isBlobKey(blobKey)) throw EngineError::ioError("Invalid blob key: " + blobKey);
}

// Staging files of one sealing, removed on every way out (a file already moved into place is
// simply no longer there).
class StagingFiles {
 public:
  explicit StagingFiles(const fs::path& staging) {
    const std::string name = newUUIDString();
    blob_ = staging / (name + ".blob");
    existing_ = staging / (name + ".existing");
  }
  ~StagingFiles() {
    std::error_code ec;
    // A staging file that cannot be removed goes with the staging folder at the next cleanup.
    fs::remove(blob_, ec);
    fs::remove(existing_, ec);
  }
  const fs::path& blob() const { return blob_; }
  const fs::path& existing() const { return existing_; }

 private:
  fs::path blob_;
  fs::path existing_;
};

// The plaintext size in the header of a blob that has been authenticated.
std::int64_t plaintextSizeOfBlob(const fs::path& blob) {
  OpenFile file = openFile(blob, O_RDONLY);
  std::uint8_t header[16];
  const std::size_t n = readFully(file.get(), header, sizeof header, blob);
  if (n != sizeof header) throw EngineError::ioError("Encrypted blob header is truncated: " + blob.string());
  std::uint64_t size = 0;
  for (int i = 8; i < 16; ++i) size = size << 8 | header[i];
  return static_cast<std::int64_t>(size);
}

// A source that shrinks while it is read is sealed again from its new size; one that keeps
// changing fails like a plain sealFile would.
constexpr int kSealAttempts = 3;

EncryptedBlobCodec::SealedFile sealMeasuring(const EncryptedBlobCodec& codec, const fs::path& source,
                                             const fs::path& to, unsigned threads) {
  for (int attempt = 0; attempt < kSealAttempts; ++attempt) {
    if (auto sealed = codec.sealFileMeasuringContent(source, to, threads)) return *sealed;
  }
  throw Error("EncryptedBlobCodec", 1, "Failed to read the expected plaintext chunk.");
}

}  // namespace

void BlobStore::ensureRoot(const fs::path& root) {
  const fs::path blobs = root / "blobs";
  if (!itemExists(blobs)) createDirectories(blobs);
}

BlobWriteResult BlobStore::ensureBlobPresent(const fs::path& source, const fs::path& blob, std::int64_t expectedSize,
                                             std::vector<BackupWarning>& warnings) {
  if (itemExists(blob)) {
    if (fileSize(blob) == expectedSize) return {true, expectedSize};
    warnings.push_back({BackupWarning::Kind::general, blob.string(), "Existing blob size mismatch; rewriting"});
  }
  AtomicFileWriter::copyFileData(source, blob);
  return {false, fileSize(blob)};
}

BlobStoreSession::BlobStoreSession(fs::path destinationRoot, std::shared_ptr<RepositoryStorageBackend> remoteBackend)
    : destinationRoot_(std::move(destinationRoot)), remoteBackend_(std::move(remoteBackend)) {}

void BlobStoreSession::ensureRoot() {
  if (remoteBackend_) {
    createDirectories(destinationRoot_ / kStagingFolderName);
  } else {
    BlobStore::ensureRoot(destinationRoot_);
  }
}

fs::path BlobStoreSession::blobURL(const std::string& blobKey) {
  checkBlobKey(blobKey);
  fs::path url = RepositoryObjectKey::blobPath(destinationRoot_, blobKey);
  const std::string prefix = blobKey.substr(0, 2);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!ensuredPrefixes_.count(prefix)) {
    const fs::path directory = url.parent_path();
    if (!itemExists(directory)) createDirectories(directory);
    // Recorded only once the folder is there, so a failed creation is tried again.
    ensuredPrefixes_.insert(prefix);
  }
  return url;
}

std::optional<BlobWriteResult> BlobStoreSession::cached(const std::string& blobKey) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto count = validatedByteCounts_.find(blobKey);
  if (count == validatedByteCounts_.end()) return std::nullopt;
  auto plain = plaintextSizes_.find(blobKey);
  return BlobWriteResult{true, count->second, blobKey, plain == plaintextSizes_.end() ? 0 : plain->second, false};
}

void BlobStoreSession::remember(const std::string& blobKey, std::int64_t byteCount, std::int64_t plaintextSize) {
  std::lock_guard<std::mutex> lock(mutex_);
  validatedByteCounts_[blobKey] = byteCount;
  plaintextSizes_[blobKey] = plaintextSize;
}

BlobWriteResult BlobStoreSession::ensureEncryptedBlobPresent(const fs::path& source, const std::string& blobKey,
                                                             const EncryptedBlobCodec& codec,
                                                             std::vector<BackupWarning>& warnings,
                                                             const CancellationToken& cancel, unsigned sealingThreads) {
  return ensureEncrypted(source, blobKey, codec, warnings, cancel, sealingThreads);
}

BlobWriteResult BlobStoreSession::ensureEncryptedBlobPresent(const fs::path& source, const EncryptedBlobCodec& codec,
                                                             std::vector<BackupWarning>& warnings,
                                                             const CancellationToken& cancel, unsigned sealingThreads) {
  return ensureEncrypted(source, std::nullopt, codec, warnings, cancel, sealingThreads);
}

BlobWriteResult BlobStoreSession::ensureEncrypted(const fs::path& source, const std::optional<std::string>& plannedKey,
                                                  const EncryptedBlobCodec& codec, std::vector<BackupWarning>& warnings,
                                                  const CancellationToken& cancel, unsigned sealingThreads) {
  cancel.throwIfCancelled();
  if (plannedKey) {
    checkBlobKey(*plannedKey);
    if (auto hit = cached(*plannedKey)) return *hit;
    if (!remoteBackend_) {
      const fs::path location = blobURL(*plannedKey);
      if (itemExists(location)) {
        bool authenticated = false;
        try {
          if (codec.blobKeyForEncryptedBlobAt(location) == *plannedKey) {
            authenticated = true;
          } else {
            warnings.push_back({BackupWarning::Kind::general, location.string(),
                                "Existing encrypted blob content mismatch; rewriting"});
          }
        } catch (const std::exception&) {
          // Damage is repaired by sealing the blob again below; the warning says so.
          warnings.push_back({BackupWarning::Kind::general, location.string(),
                              "Existing encrypted blob could not be authenticated; rewriting"});
        }
        if (authenticated) {
          const std::int64_t size = fileSize(location);
          const std::int64_t plaintext = plaintextSizeOfBlob(location);
          remember(*plannedKey, size, plaintext);
          return {true, size, *plannedKey, plaintext, false};
        }
      }
    }
  }

  const fs::path staging = destinationRoot_ / kStagingFolderName;
  createDirectories(staging);
  StagingFiles files(staging);
  const EncryptedBlobCodec::SealedFile sealed = sealMeasuring(codec, source, files.blob(), sealingThreads);
  const std::string& key = sealed.blobKey;
  const bool changed = plannedKey && *plannedKey != key;
  const auto plaintext = static_cast<std::int64_t>(sealed.plaintextSize);
  if (changed || !plannedKey) {
    if (auto hit = cached(key)) {
      hit->contentChanged = changed;
      return *hit;
    }
  }
  cancel.throwIfCancelled();

  if (!remoteBackend_) {
    // What was sealed replaces whatever is stored under its key: it is valid for that key.
    const fs::path location = blobURL(key);
    if (::rename(files.blob().c_str(), location.c_str()) != 0) throw PosixError("rename", errno, location.string());
    const std::int64_t size = fileSize(location);
    remember(key, size, plaintext);
    return {false, size, key, plaintext, changed};
  }

  const RepositoryObjectKey objectKey = RepositoryObjectKey::forBlob(key);
  const RepositoryObjectWriteResult write = remoteBackend_->writeObject(
      files.blob(), objectKey, RepositoryObjectWriteMode::createIfAbsent(static_cast<std::int64_t>(sealed.blobSize)),
      cancel);
  if (write.status == RepositoryObjectWriteResult::Status::written) {
    remember(key, write.byteCount, plaintext);
    return {false, write.byteCount, key, plaintext, changed};
  }
  remoteBackend_->readObject(objectKey, files.existing(), cancel);
  if (codec.blobKeyForEncryptedBlobAt(files.existing()) != key) {
    throw EngineError::ioError("Existing remote encrypted blob could not be authenticated for " + objectKey.rawValue() +
                               ".");
  }
  remember(key, write.byteCount, plaintext);
  return {true, write.byteCount, key, plaintext, changed};
}

BlobWriteResult BlobStoreSession::ensureBlobPresent(const fs::path& source, const std::string& blobKey,
                                                    std::int64_t expectedSize, std::vector<BackupWarning>& warnings,
                                                    const CancellationToken& cancel) {
  cancel.throwIfCancelled();
  if (remoteBackend_) {
    checkBlobKey(blobKey);
    if (auto hit = cached(blobKey)) return *hit;
    const RepositoryObjectWriteResult write = remoteBackend_->writeObject(
        source, RepositoryObjectKey::forBlob(blobKey), RepositoryObjectWriteMode::createIfAbsent(expectedSize), cancel);
    remember(blobKey, write.byteCount, write.byteCount);
    return {write.status == RepositoryObjectWriteResult::Status::skippedExisting, write.byteCount, blobKey,
            write.byteCount, false};
  }
  const fs::path location = blobURL(blobKey);
  if (auto hit = cached(blobKey)) return *hit;
  BlobWriteResult result = BlobStore::ensureBlobPresent(source, location, expectedSize, warnings);
  remember(blobKey, result.byteCount, result.byteCount);
  result.blobKey = blobKey;
  result.plaintextSize = result.byteCount;
  return result;
}

}  // namespace tvr
