#include "engine/storage/RepositoryIntegrityVerifier.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <string_view>
#include <utility>

#include "engine/catalog/BackupCatalog.h"
#include "engine/crypto/CryptoPrimitives.h"
#include "engine/crypto/EncryptedBlobCodec.h"
#include "engine/metadata/RepositoryMetadata.h"
#include "engine/storage/RepositoryObjectKey.h"
#include "platform/Bytes.h"
#include "platform/Error.h"

namespace fs = std::filesystem;

namespace tvr {
namespace {

constexpr std::size_t kBlobKeyLength = 64;

Error verifierError(long code, const std::string& message) {
  return Error(kRepositoryIntegrityVerifierErrorDomain, code, message);
}

Error missingKeyMaterialError() {
  return verifierError(2, "Encrypted repository verification requires repository key material.");
}

std::string_view fileNameOf(std::string_view path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Pre-order walk over directories with opendir/readdir. Hidden names are skipped, links are
// reported but never followed, and a directory that cannot be opened is skipped.
class DirectoryBlobEnumerator final : public RepositoryBlobEnumerator {
 public:
  explicit DirectoryBlobEnumerator(std::string root) { pending_.push_back(std::move(root)); }

  std::optional<fs::path> nextURL() override {
    for (;;) {
      if (!current_) {
        if (pending_.empty()) return std::nullopt;
        currentPath_ = std::move(pending_.back());
        pending_.pop_back();
        current_.reset(::opendir(currentPath_.c_str()));
        if (!current_) continue;
      }
      const struct dirent* item = ::readdir(current_.get());
      if (!item) {
        current_.reset();
        continue;
      }
      const std::string_view name(item->d_name);
      if (name.empty() || name.front() == '.') continue;
      lastPath_ = currentPath_ + "/" + std::string(name);
      lastType_ = typeOf(item->d_type);
      if (lastType_ == ItemType::unknown) lastType_ = typeByLstat(lastPath_, /*throwing=*/false);
      if (lastType_ == ItemType::directory) pending_.push_back(lastPath_);
      return fs::path(lastPath_);
    }
  }

  bool isRegularFile() override {
    if (lastType_ == ItemType::unknown) lastType_ = typeByLstat(lastPath_, /*throwing=*/true);
    return lastType_ == ItemType::regular;
  }

 private:
  enum class ItemType { unknown, regular, directory, other };

  static ItemType typeOf(unsigned char directoryEntryType) {
    switch (directoryEntryType) {
      case DT_REG:
        return ItemType::regular;
      case DT_DIR:
        return ItemType::directory;
      case DT_UNKNOWN:
        return ItemType::unknown;
      default:
        return ItemType::other;
    }
  }

  static ItemType typeByLstat(const std::string& path, bool throwing) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
      if (throwing) throw PosixError("lstat", errno, path);
      return ItemType::unknown;
    }
    if (S_ISREG(status.st_mode)) return ItemType::regular;
    if (S_ISDIR(status.st_mode)) return ItemType::directory;
    return ItemType::other;
  }

  struct CloseDirectory {
    void operator()(DIR* directory) const noexcept { ::closedir(directory); }
  };
  std::vector<std::string> pending_;
  std::unique_ptr<DIR, CloseDirectory> current_;
  std::string currentPath_;
  std::string lastPath_;
  ItemType lastType_ = ItemType::unknown;
};

// root/blobs/<first two characters>/<key>: the one place readers look for a blob.
std::string expectedBlobPath(const fs::path& root, std::string_view key) {
  return RepositoryObjectKey::blobPath(root, key).string();
}

}  // namespace

std::string repositoryIntegrityIssueKindName(RepositoryIntegrityIssue::Kind kind) {
  switch (kind) {
    case RepositoryIntegrityIssue::Kind::missingBlob:
      return "missingBlob";
    case RepositoryIntegrityIssue::Kind::corruptBlob:
      return "corruptBlob";
    case RepositoryIntegrityIssue::Kind::orphanBlob:
      return "orphanBlob";
  }
  return "missingBlob";
}

RepositoryIntegrityVerifier::RepositoryIntegrityVerifier(std::optional<RepositoryKeyMaterial> repositoryKeyMaterial)
    : RepositoryIntegrityVerifier(std::move(repositoryKeyMaterial), defaultBlobEnumeratorFactory()) {}

RepositoryIntegrityVerifier::RepositoryIntegrityVerifier(std::optional<RepositoryKeyMaterial> repositoryKeyMaterial,
                                                         RepositoryBlobEnumeratorFactory blobEnumeratorFactory)
    : keyMaterial_(std::move(repositoryKeyMaterial)), blobEnumeratorFactory_(std::move(blobEnumeratorFactory)) {}

RepositoryBlobEnumeratorFactory RepositoryIntegrityVerifier::defaultBlobEnumeratorFactory() {
  return [](const fs::path& blobsDirectory) -> std::unique_ptr<RepositoryBlobEnumerator> {
    struct stat status {};
    if (::stat(blobsDirectory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return nullptr;
    return std::make_unique<DirectoryBlobEnumerator>(blobsDirectory.string());
  };
}

std::string RepositoryIntegrityVerifier::sha256Hex(const fs::path& file) {
  return crypto::sha256HexOfFile(file, hashChunkSize);
}

std::vector<std::string> RepositoryIntegrityVerifier::storedBlobURLs(const fs::path& root) const {
  const fs::path blobsDirectory = root / "blobs";
  struct stat status {};
  if (::lstat(blobsDirectory.c_str(), &status) != 0) return {};
  std::unique_ptr<RepositoryBlobEnumerator> enumerator = blobEnumeratorFactory_(blobsDirectory);
  if (!enumerator) throw verifierError(1, "Failed to enumerate blobs at " + blobsDirectory.string());

  std::vector<std::string> files;
  while (const std::optional<fs::path> url = enumerator->nextURL()) {
    const bool regular = enumerator->isRegularFile();
    if (!regular) continue;
    std::string path = url->string();
    if (fileNameOf(path).size() != kBlobKeyLength) continue;
    files.push_back(std::move(path));
  }
  // Of two files with one name, the one at the name's own path (where readers look) stays.
  auto misplaced = [&](const std::string& path) { return path != expectedBlobPath(root, fileNameOf(path)); };
  std::sort(files.begin(), files.end(), [&](const std::string& a, const std::string& b) {
    const std::string_view nameA = fileNameOf(a), nameB = fileNameOf(b);
    if (nameA != nameB) return nameA < nameB;
    const bool misplacedA = misplaced(a), misplacedB = misplaced(b);
    return misplacedA != misplacedB ? !misplacedA : a < b;
  });
  files.erase(std::unique(files.begin(), files.end(),
                          [](const std::string& a, const std::string& b) { return fileNameOf(a) == fileNameOf(b); }),
              files.end());
  return files;
}

std::string RepositoryIntegrityVerifier::verifiedBlobKey(const fs::path& blob,
                                                         const std::optional<RepositoryMetadata>& metadata,
                                                         bool isCheckpointBlob) const {
  if (isCheckpointBlob) return sha256Hex(blob);
  if (!metadata || !metadata->encryption) return sha256Hex(blob);
  if (!keyMaterial_) throw missingKeyMaterialError();
  if (EncryptedBlobCodec::isEncryptedBlobAt(blob)) {
    return EncryptedBlobCodec(*keyMaterial_).blobKeyForEncryptedBlobAt(blob);
  }
  return sha256Hex(blob);
}

RepositoryIntegrityReport RepositoryIntegrityVerifier::verify(const fs::path& root) const {
  const std::optional<RepositoryMetadata> metadata = RepositoryMetadata::read(root);
  if (metadata && metadata->encryption && !keyMaterial_) throw missingKeyMaterialError();

  std::set<std::string> referenced;
  std::set<std::string> checkpoints;
  {
    BackupCatalog catalog(root, keyMaterial_, BackupCatalog::OpenMode::readOnly);
    // First: a damaged page or index could make every later answer wrong.
    if (std::optional<std::string> problem = catalog.structuralProblem()) {
      throw verifierError(catalogDamagedCode, "Repository catalog is damaged: " + *problem);
    }
    referenced = catalog.referencedBlobKeys();
    checkpoints = catalog.checkpointBlobKeys();
  }
  const std::vector<std::string> stored = storedBlobURLs(root);

  RepositoryIntegrityReport report;
  report.referencedBlobCount = static_cast<std::int64_t>(referenced.size());
  report.storedBlobCount = static_cast<std::int64_t>(stored.size());

  // Both sequences are sorted by key, so one merge finds the missing keys. A file of the
  // right name in another shard folder does not count: readers never look there.
  auto storedIt = stored.begin();
  for (const std::string& key : referenced) {
    while (storedIt != stored.end() && fileNameOf(*storedIt) < key) ++storedIt;
    const std::string expected = expectedBlobPath(root, key);
    if (storedIt != stored.end() && *storedIt == expected) continue;
    report.issues.push_back({RepositoryIntegrityIssue::Kind::missingBlob, key, expected});
  }

  for (const std::string& path : stored) {
    const std::string key(fileNameOf(path));
    if (referenced.count(key) == 0) {
      report.issues.push_back({RepositoryIntegrityIssue::Kind::orphanBlob, key, path});
      continue;
    }
    if (path != expectedBlobPath(root, key)) continue;  // already reported missing
    bool intact = false;
    try {
      intact = verifiedBlobKey(path, metadata, checkpoints.count(key) != 0) == key;
    } catch (const std::exception&) {
      // An unreadable or undecryptable blob is exactly what this check reports: a corrupt
      // blob. The cause is not part of the report.
      intact = false;
    }
    if (!intact) report.issues.push_back({RepositoryIntegrityIssue::Kind::corruptBlob, key, path});
  }
  return report;
}

}  // namespace tvr
