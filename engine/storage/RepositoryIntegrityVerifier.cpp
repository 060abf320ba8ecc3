#include "engine/storage/RepositoryIntegrityVerifier.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <string_view>
#include <thread>
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
    : keyMaterial_(std::move(repositoryKeyMaterial)),
      blobEnumeratorFactory_(std::move(blobEnumeratorFactory)),
      workers_(EncryptedBlobCodec::parallelWorkerCount()) {
  if (keyMaterial_) codec_.emplace(*keyMaterial_);
}

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

namespace {

using BinaryKey = RepositoryObjectKey::BlobKeyBytes;

// The 32 bytes of a key written as 64 lowercase hexadecimal digits, or none for any other
// text (which a damaged catalog or a stray file name can hold).
std::optional<BinaryKey> binaryKeyOf(std::string_view text) { return RepositoryObjectKey::blobKeyBytes(text); }
std::string hexOf(const BinaryKey& key) { return RepositoryObjectKey::blobKeyText(key); }

// A set of blob keys in ascending text order: canonical keys as 32 bytes each in a sorted
// array, the rare other texts beside them. Byte order of the binary form is the text order
// of lowercase hex, so the two merge in text order.
class BlobKeySet {
 public:
  void add(std::string_view key) {
    if (std::optional<BinaryKey> binary = binaryKeyOf(key)) {
      binary_.push_back(*binary);
    } else {
      others_.emplace_back(key);
    }
  }
  void seal() {
    sortUnique(binary_);
    sortUnique(others_);
  }
  std::size_t size() const { return binary_.size() + others_.size(); }
  bool contains(std::string_view key) const {
    if (std::optional<BinaryKey> binary = binaryKeyOf(key)) {
      return std::binary_search(binary_.begin(), binary_.end(), *binary);
    }
    return std::binary_search(others_.begin(), others_.end(), key);
  }
  // Every key in ascending text order.
  template <class Visit>
  void forEach(Visit&& visit) const {
    auto b = binary_.begin();
    auto o = others_.begin();
    std::string text;
    while (b != binary_.end() || o != others_.end()) {
      if (b != binary_.end()) text = hexOf(*b);
      if (o == others_.end() || (b != binary_.end() && text < *o)) {
        visit(std::string_view(text));
        ++b;
      } else {
        visit(std::string_view(*o));
        ++o;
      }
    }
  }

 private:
  template <class T>
  static void sortUnique(std::vector<T>& values) {
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    values.shrink_to_fit();
  }
  std::vector<BinaryKey> binary_;
  std::vector<std::string> others_;
};

// The blob files found under root/blobs, one per 64-character name: a file at its name's own
// path (where readers look) is held as its 32-byte key alone; the few others (misplaced, or
// named other than in lowercase hex) keep their path. Listed in ascending name order.
struct StoredBlobs {
  std::vector<BinaryKey> atHome;
  std::vector<std::string> others;  // paths, one per name, none of a name in atHome

  struct Ref {
    std::uint32_t index;
    bool other;
  };
  std::vector<Ref> order;  // every stored blob in ascending name order

  std::string name(const Ref& ref) const {
    return ref.other ? std::string(fileNameOf(others[ref.index])) : hexOf(atHome[ref.index]);
  }
  std::string path(const fs::path& root, const Ref& ref) const {
    return ref.other ? others[ref.index] : expectedBlobPath(root, hexOf(atHome[ref.index]));
  }
};

StoredBlobs collectStoredBlobs(const fs::path& root, const RepositoryBlobEnumeratorFactory& blobEnumeratorFactory) {
  StoredBlobs stored;
  const fs::path blobsDirectory = root / "blobs";
  struct stat status {};
  if (::lstat(blobsDirectory.c_str(), &status) != 0) return stored;
  std::unique_ptr<RepositoryBlobEnumerator> enumerator = blobEnumeratorFactory(blobsDirectory);
  if (!enumerator) throw verifierError(1, "Failed to enumerate blobs at " + blobsDirectory.string());

  while (const std::optional<fs::path> url = enumerator->nextURL()) {
    const bool regular = enumerator->isRegularFile();
    if (!regular) continue;
    std::string path = url->string();
    const std::string_view name = fileNameOf(path);
    if (name.size() != kBlobKeyLength) continue;
    const std::optional<BinaryKey> binary = binaryKeyOf(name);
    if (binary && path == expectedBlobPath(root, name)) {
      stored.atHome.push_back(*binary);
    } else {
      stored.others.push_back(std::move(path));
    }
  }
  std::sort(stored.atHome.begin(), stored.atHome.end());
  stored.atHome.erase(std::unique(stored.atHome.begin(), stored.atHome.end()), stored.atHome.end());
  // Of two files with one name, the one at the name's own path (where readers look) stays,
  // else the smaller path.
  auto misplaced = [&](const std::string& path) { return path != expectedBlobPath(root, fileNameOf(path)); };
  std::sort(stored.others.begin(), stored.others.end(), [&](const std::string& a, const std::string& b) {
    const std::string_view nameA = fileNameOf(a), nameB = fileNameOf(b);
    if (nameA != nameB) return nameA < nameB;
    const bool misplacedA = misplaced(a), misplacedB = misplaced(b);
    return misplacedA != misplacedB ? !misplacedA : a < b;
  });
  stored.others.erase(std::unique(stored.others.begin(), stored.others.end(),
                                  [](const std::string& a, const std::string& b) {
                                    return fileNameOf(a) == fileNameOf(b);
                                  }),
                      stored.others.end());
  stored.others.erase(std::remove_if(stored.others.begin(), stored.others.end(),
                                     [&](const std::string& path) {
                                       const std::optional<BinaryKey> binary = binaryKeyOf(fileNameOf(path));
                                       return binary && std::binary_search(stored.atHome.begin(),
                                                                           stored.atHome.end(), *binary);
                                     }),
                      stored.others.end());
  stored.atHome.shrink_to_fit();

  stored.order.reserve(stored.atHome.size() + stored.others.size());
  std::size_t a = 0, o = 0;
  std::string text;
  while (a < stored.atHome.size() || o < stored.others.size()) {
    if (a < stored.atHome.size()) text = hexOf(stored.atHome[a]);
    if (o == stored.others.size() || (a < stored.atHome.size() && std::string_view(text) < fileNameOf(stored.others[o]))) {
      stored.order.push_back({static_cast<std::uint32_t>(a++), false});
    } else {
      stored.order.push_back({static_cast<std::uint32_t>(o++), true});
    }
  }
  return stored;
}

// Outcome of each stored blob, in the order of StoredBlobs::order.
enum BlobOutcome : std::uint8_t { orphan, misplaced, pending, intact, corrupt };

}  // namespace

std::string RepositoryIntegrityVerifier::verifiedBlobKey(const fs::path& blob,
                                                         const std::optional<RepositoryMetadata>& metadata,
                                                         bool isCheckpointBlob, unsigned workers) const {
  if (isCheckpointBlob) return sha256Hex(blob);
  if (!metadata || !metadata->encryption) return sha256Hex(blob);
  if (!keyMaterial_) throw missingKeyMaterialError();
  if (EncryptedBlobCodec::isEncryptedBlobAt(blob)) {
    return codec_->blobKeyForEncryptedBlobAt(blob, workers);
  }
  return sha256Hex(blob);
}

void RepositoryIntegrityVerifier::setWorkerCount(unsigned workers) {
  workers_ = workers == 0 ? EncryptedBlobCodec::parallelWorkerCount() : workers;
}

struct RepositoryIntegrityFindings::State {
  fs::path root;
  BlobKeySet referenced;
  StoredBlobs stored;
  std::vector<std::uint8_t> outcomes;
  std::int64_t issueCount = 0;

  // The referenced keys without a blob at their own path, in key order. A file of the right
  // name in another shard folder does not count: readers never look there. Both sequences
  // are sorted by key, so one merge finds them.
  template <class Visit>
  void forEachMissingKey(Visit&& visit) const {
    auto storedIt = stored.order.begin();
    referenced.forEach([&](std::string_view key) {
      while (storedIt != stored.order.end() && stored.name(*storedIt).compare(key) < 0) ++storedIt;
      const std::string expected = expectedBlobPath(root, key);
      if (storedIt != stored.order.end() && stored.name(*storedIt).compare(key) == 0 &&
          stored.path(root, *storedIt) == expected) {
        return;
      }
      visit(key, expected);
    });
  }
};

RepositoryIntegrityFindings::RepositoryIntegrityFindings(std::unique_ptr<State> state) : state_(std::move(state)) {}
RepositoryIntegrityFindings::RepositoryIntegrityFindings(RepositoryIntegrityFindings&&) noexcept = default;
RepositoryIntegrityFindings& RepositoryIntegrityFindings::operator=(RepositoryIntegrityFindings&&) noexcept = default;
RepositoryIntegrityFindings::~RepositoryIntegrityFindings() = default;

std::int64_t RepositoryIntegrityFindings::referencedBlobCount() const noexcept {
  return static_cast<std::int64_t>(state_->referenced.size());
}
std::int64_t RepositoryIntegrityFindings::storedBlobCount() const noexcept {
  return static_cast<std::int64_t>(state_->stored.order.size());
}
std::int64_t RepositoryIntegrityFindings::issueCount() const noexcept { return state_->issueCount; }

void RepositoryIntegrityFindings::forEachIssue(const std::function<void(const RepositoryIntegrityIssue&)>& visit) const {
  const State& state = *state_;
  RepositoryIntegrityIssue issue;
  state.forEachMissingKey([&](std::string_view key, const std::string& expected) {
    issue = {RepositoryIntegrityIssue::Kind::missingBlob, std::string(key), expected};
    visit(issue);
  });
  for (std::size_t i = 0; i < state.stored.order.size(); ++i) {
    const BlobOutcome outcome = static_cast<BlobOutcome>(state.outcomes[i]);
    if (outcome != orphan && outcome != corrupt) continue;
    const auto& ref = state.stored.order[i];
    issue = {outcome == orphan ? RepositoryIntegrityIssue::Kind::orphanBlob : RepositoryIntegrityIssue::Kind::corruptBlob,
             state.stored.name(ref), state.stored.path(state.root, ref)};
    visit(issue);
  }
}

RepositoryIntegrityReport RepositoryIntegrityFindings::report() const {
  RepositoryIntegrityReport report;
  report.referencedBlobCount = referencedBlobCount();
  report.storedBlobCount = storedBlobCount();
  report.issues.reserve(static_cast<std::size_t>(issueCount()));
  forEachIssue([&](const RepositoryIntegrityIssue& issue) { report.issues.push_back(issue); });
  return report;
}

RepositoryIntegrityReport RepositoryIntegrityVerifier::verify(const fs::path& root) const { return check(root).report(); }

RepositoryIntegrityFindings RepositoryIntegrityVerifier::check(const fs::path& root,
                                                               RepositoryIntegrityProgress* progress) const {
  const std::optional<RepositoryMetadata> metadata = RepositoryMetadata::read(root);
  if (metadata && metadata->encryption && !keyMaterial_) throw missingKeyMaterialError();

  auto state = std::make_unique<RepositoryIntegrityFindings::State>();
  state->root = root;
  BlobKeySet& referenced = state->referenced;
  BlobKeySet checkpoints;
  {
    BackupCatalog catalog(root, keyMaterial_, BackupCatalog::OpenMode::readOnly);
    // First: a damaged page or index could make every later answer wrong.
    if (std::optional<std::string> problem = catalog.structuralProblem()) {
      throw verifierError(catalogDamagedCode, "Repository catalog is damaged: " + *problem);
    }
    catalog.forEachReferencedBlobKey([&](std::string_view key) { referenced.add(key); });
    for (const std::string& key : catalog.checkpointBlobKeys()) checkpoints.add(key);
  }
  referenced.seal();
  checkpoints.seal();
  state->stored = collectStoredBlobs(root, blobEnumeratorFactory_);
  const StoredBlobs& stored = state->stored;

  // Which stored blobs to hash: referenced ones at their own path. Their outcomes are found
  // on every core (any order: hashing has no effect), then reported in key order.
  std::vector<std::uint8_t>& outcomes = state->outcomes;
  outcomes.assign(stored.order.size(), orphan);
  std::vector<std::uint32_t> large;
  std::vector<std::uint32_t> small;
  std::vector<std::int64_t> sizes(progress ? stored.order.size() : 0);
  std::int64_t totalBytes = 0;
  for (std::size_t i = 0; i < stored.order.size(); ++i) {
    const StoredBlobs::Ref& ref = stored.order[i];
    const std::string key = stored.name(ref);
    if (!referenced.contains(key)) continue;
    const std::string path = stored.path(root, ref);
    if (path != expectedBlobPath(root, key)) {
      outcomes[i] = misplaced;  // already reported missing
      continue;
    }
    outcomes[i] = pending;
    struct stat info {};
    const std::int64_t size = ::stat(path.c_str(), &info) == 0 ? static_cast<std::int64_t>(info.st_size) : 0;
    if (progress) sizes[i] = size;
    totalBytes += size;
    const bool isLarge = static_cast<std::uint64_t>(size) > 2 * EncryptedBlobCodec::chunkSize;
    (isLarge ? large : small).push_back(static_cast<std::uint32_t>(i));
  }
  // Stored names are unique, so every referenced key without a blob to hash is missing.
  state->issueCount = static_cast<std::int64_t>(referenced.size() - large.size() - small.size());
  if (progress && progress->started) {
    progress->started(static_cast<std::int64_t>(large.size() + small.size()), totalBytes);
  }
  auto check = [&](std::uint32_t i, unsigned decodeWorkers) {
    const StoredBlobs::Ref& ref = stored.order[i];
    const std::string key = stored.name(ref);
    bool isIntact = false;
    try {
      isIntact = verifiedBlobKey(stored.path(root, ref), metadata, checkpoints.contains(key), decodeWorkers) == key;
    } catch (const std::exception&) {
      // An unreadable or undecryptable blob is exactly what this check reports: a corrupt
      // blob. The cause is not part of the report.
      isIntact = false;
    }
    outcomes[i] = isIntact ? intact : corrupt;
    if (progress) {
      progress->bytesDone.fetch_add(sizes[i], std::memory_order_relaxed);
      progress->blobsDone.fetch_add(1, std::memory_order_relaxed);
    }
  };
  // A large blob has its chunks decoded on every core, one blob at a time; small blobs go
  // one per thread.
  for (std::uint32_t i : large) check(i, workers_);
  std::atomic<std::size_t> next{0};
  auto drainSmall = [&] {
    for (std::size_t at; (at = next.fetch_add(1)) < small.size();) check(small[at], 1);
  };
  {
    std::vector<std::thread> threads;
    const std::size_t extra = std::min<std::size_t>(workers_, small.size()) - (small.empty() ? 0 : 1);
    for (std::size_t t = 0; t < extra; ++t) threads.emplace_back(drainSmall);
    drainSmall();
    for (std::thread& thread : threads) thread.join();
  }
  for (std::uint8_t outcome : outcomes) {
    if (outcome == orphan || outcome == corrupt) ++state->issueCount;
  }
  return RepositoryIntegrityFindings(std::move(state));
}

}  // namespace tvr
