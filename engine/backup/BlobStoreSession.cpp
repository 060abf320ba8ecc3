#include "engine/backup/BlobStoreSession.h"

#include <sys/stat.h>

#include <cerrno>

#include "engine/crypto/EncryptedBlobCodec.h"
#include "platform/AtomicFileWriter.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"

namespace tvr {

namespace fs = std::filesystem;

namespace {

std::int64_t fileSize(const fs::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) throw PosixError("stat", errno, path.string());
  return static_cast<std::int64_t>(info.st_size);
}

void createDirectories(const fs::path& path) {
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec) throw PosixError("mkdir", ec.value(), path.string());
}

// A key of anything but 64 lowercase hex digits could name a path outside "blobs".
void checkBlobKey(const std::string& blobKey) {
  bool valid = blobKey.size() == 64;
  for (char c : blobKey) valid = valid && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
  if (!valid) throw EngineError::ioError("Invalid blob key: " + blobKey);
}

RepositoryObjectKey remoteObjectKey(const std::string& blobKey) {
  return RepositoryObjectKey("blobs/" + blobKey.substr(0, 2) + "/" + blobKey);
}

// Removes the staging files of one blob on every way out of the remote procedure.
class StagingFiles {
 public:
  StagingFiles(const fs::path& staging, const std::string& blobKey)
      : blob_(staging / (blobKey + ".blob")), existing_(staging / (blobKey + ".existing")) {}
  ~StagingFiles() {
    std::error_code ec;
    // A staging file that cannot be removed is overwritten by the next attempt; nothing to report.
    fs::remove(blob_, ec);
    fs::remove(existing_, ec);
  }
  const fs::path& blob() const { return blob_; }
  const fs::path& existing() const { return existing_; }

 private:
  fs::path blob_;
  fs::path existing_;
};

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
  const std::string prefix = blobKey.substr(0, 2);
  const fs::path directory = destinationRoot_ / "blobs" / prefix;
  if (!ensuredPrefixes_.count(prefix)) {
    if (!itemExists(directory)) createDirectories(directory);
    // Recorded only once the folder is there, so a failed creation is tried again.
    ensuredPrefixes_.insert(prefix);
  }
  return directory / blobKey;
}

BlobWriteResult BlobStoreSession::ensureEncryptedBlobPresent(const fs::path& source, const std::string& blobKey,
                                                             const EncryptedBlobCodec& codec,
                                                             std::vector<BackupWarning>& warnings,
                                                             const CancellationToken& cancel) {
  cancel.throwIfCancelled();
  if (remoteBackend_) return ensureRemoteEncryptedBlobPresent(source, blobKey, codec, cancel);
  const fs::path location = blobURL(blobKey);
  if (auto cached = validatedByteCounts_.find(blobKey); cached != validatedByteCounts_.end()) {
    return {true, cached->second};
  }
  if (itemExists(location)) {
    bool authenticated = false;
    try {
      if (codec.blobKeyForEncryptedBlobAt(location) == blobKey) {
        authenticated = true;
      } else {
        warnings.push_back(
            {BackupWarning::Kind::general, location.string(), "Existing encrypted blob content mismatch; rewriting"});
      }
    } catch (const std::exception&) {
      // Damage is repaired by rewriting the blob below; the warning says so.
      warnings.push_back({BackupWarning::Kind::general, location.string(),
                          "Existing encrypted blob could not be authenticated; rewriting"});
    }
    if (authenticated) {
      const std::int64_t size = fileSize(location);
      validatedByteCounts_[blobKey] = size;
      return {true, size};
    }
  }
  codec.sealFile(source, location);
  const std::int64_t size = fileSize(location);
  validatedByteCounts_[blobKey] = size;
  return {false, size};
}

BlobWriteResult BlobStoreSession::ensureRemoteEncryptedBlobPresent(const fs::path& source, const std::string& blobKey,
                                                                   const EncryptedBlobCodec& codec,
                                                                   const CancellationToken& cancel) {
  checkBlobKey(blobKey);
  if (auto cached = validatedByteCounts_.find(blobKey); cached != validatedByteCounts_.end()) {
    return {true, cached->second};
  }
  const fs::path staging = destinationRoot_ / kStagingFolderName;
  createDirectories(staging);
  StagingFiles files(staging, blobKey);
  codec.sealFile(source, files.blob());
  const std::int64_t stagedSize = fileSize(files.blob());
  const RepositoryObjectKey key = remoteObjectKey(blobKey);
  const RepositoryObjectWriteResult write =
      remoteBackend_->writeObject(files.blob(), key, RepositoryObjectWriteMode::createIfAbsent(stagedSize), cancel);
  if (write.status == RepositoryObjectWriteResult::Status::written) {
    validatedByteCounts_[blobKey] = write.byteCount;
    return {false, write.byteCount};
  }
  remoteBackend_->readObject(key, files.existing(), cancel);
  if (codec.blobKeyForEncryptedBlobAt(files.existing()) != blobKey) {
    throw EngineError::ioError("Existing remote encrypted blob could not be authenticated for " + key.rawValue() + ".");
  }
  validatedByteCounts_[blobKey] = write.byteCount;
  return {true, write.byteCount};
}

BlobWriteResult BlobStoreSession::ensureBlobPresent(const fs::path& source, const std::string& blobKey,
                                                    std::int64_t expectedSize, std::vector<BackupWarning>& warnings,
                                                    const CancellationToken& cancel) {
  cancel.throwIfCancelled();
  if (remoteBackend_) {
    checkBlobKey(blobKey);
    if (auto cached = validatedByteCounts_.find(blobKey); cached != validatedByteCounts_.end()) {
      return {true, cached->second};
    }
    const RepositoryObjectWriteResult write = remoteBackend_->writeObject(
        source, remoteObjectKey(blobKey), RepositoryObjectWriteMode::createIfAbsent(expectedSize), cancel);
    validatedByteCounts_[blobKey] = write.byteCount;
    return {write.status == RepositoryObjectWriteResult::Status::skippedExisting, write.byteCount};
  }
  const fs::path location = blobURL(blobKey);
  if (auto cached = validatedByteCounts_.find(blobKey); cached != validatedByteCounts_.end()) {
    return {true, cached->second};
  }
  BlobWriteResult result = BlobStore::ensureBlobPresent(source, location, expectedSize, warnings);
  validatedByteCounts_[blobKey] = result.byteCount;
  return result;
}

}  // namespace tvr
