#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>

#include "engine/catalog/BackupCatalog.h"
#include "engine/crypto/EncryptedBlobCodec.h"
#include "engine/crypto/RepositoryKeyMaterial.h"
#include "engine/metadata/RepositoryEncryptionMetadata.h"
#include "engine/metadata/RepositoryMetadata.h"
#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/Iso8601.h"
#include "platform/SecureRandom.h"

namespace tvr::readertest {

// A directory under the system temp folder, removed with everything in it when dropped.
class TemporaryDirectory {
 public:
  TemporaryDirectory() : path_(std::filesystem::temp_directory_path() / ("tvr-readers-" + newUUIDString())) {
    std::filesystem::create_directories(path_);
  }
  ~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string readText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeText(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// Modification time in Unix seconds (whole seconds).
inline long long modificationTime(const std::filesystem::path& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return -1;
  return static_cast<long long>(status.st_mtim.tv_sec);
}

inline double iso(const char* text) { return *parseISO8601(text); }

#ifdef TVR_FIXTURES_DIR
inline std::filesystem::path fixturesDirectory() { return std::filesystem::path(TVR_FIXTURES_DIR); }

// The repository key of the shared sample repository.
inline RepositoryKeyMaterial sampleRepositoryKey() {
  std::ifstream in(fixturesDirectory() / "crypto-vectors.json");
  const nlohmann::json vectors = nlohmann::json::parse(in);
  return RepositoryKeyMaterial(*hexDecode(vectors.at("repositoryKeyHex").get<std::string>()));
}
#endif

// Names of every file and directory below `root`, relative, sorted ("a/", "a/b.txt").
inline std::vector<std::string> treeListing(const std::filesystem::path& root) {
  std::vector<std::string> names;
  for (auto it = std::filesystem::recursive_directory_iterator(root);
       it != std::filesystem::recursive_directory_iterator(); ++it) {
    std::string name = std::filesystem::relative(it->path(), root).string();
    if (it->is_directory() && !it->is_symlink()) name += "/";
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

inline RepositoryKeyMaterial testKey() {
  Bytes raw(32);
  for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<std::uint8_t>(0xA0 + i);
  return RepositoryKeyMaterial(raw);
}

// Writes a real encrypted repository through the engine's own writer side: repo.json, the
// catalog (runs, events, checkpoints) and sealed blobs under blobs/. Paths are recorded with
// the display path as normalised path unless one is given.
class RepositoryBuilder {
 public:
  RepositoryBuilder(std::filesystem::path root, RepositoryKeyMaterial key) : root_(std::move(root)), codec_(key) {
    RepositoryEncryptionMetadata encryption;
    encryption.version = 1;
    encryption.blobAlgorithm = "AES-256-GCM";
    encryption.compressionAlgorithm = "LZFSE";
    encryption.keyDerivationAlgorithm = "HKDF-SHA256";
    RepositoryMetadata::ensureWritableRepository(root_, encryption, 1775030400);
    catalog_.emplace(root_, std::optional<RepositoryKeyMaterial>(key), BackupCatalog::OpenMode::createOrOpenForWrite);
  }

  const std::filesystem::path& root() const { return root_; }
  BackupCatalog& catalog() { return *catalog_; }

  std::int64_t beginRun(const PlanID& plan) {
    return catalog_->beginRun(newUUIDString(), plan, "/source", root_.string(), true, "sha256", std::nullopt,
                              std::nullopt, std::nullopt);
  }
  void finishRun(std::int64_t runID) { catalog_->finishRun(runID); }
  std::string checkpoint(const PlanID& plan, std::int64_t runID) {
    return catalog_->writeSnapshotCheckpoint(plan, runID);
  }

  // Seals the content as a blob (once per content) and returns its key.
  std::string storeBlob(const std::string& content) {
    const Bytes plaintext = bytesOf(content);
    const std::string key = codec_.blobKeyForPlaintext(plaintext);
    const std::filesystem::path path = blobPath(key);
    if (!std::filesystem::exists(path)) {
      std::filesystem::create_directories(path.parent_path());
      writeFileAtomically(path, codec_.seal(plaintext));
    }
    return key;
  }
  std::filesystem::path blobPath(const std::string& key) const { return root_ / "blobs" / key.substr(0, 2) / key; }

  std::string addFile(const PlanID& plan, std::int64_t runID, const std::string& relPath, const std::string& content,
                      double modifiedAt, std::optional<double> createdAt = std::nullopt,
                      std::optional<std::string> relPathNorm = std::nullopt) {
    const std::string key = storeBlob(content);
    const std::string norm = relPathNorm.value_or(relPath);
    const auto size = static_cast<std::int64_t>(content.size());
    catalog_->insertEvent(runID, plan, relPath, norm, "copy", key, size, createdAt, modifiedAt, std::nullopt, false);
    catalog_->upsertCurrent(plan, runID, relPath, norm, key, size, createdAt, modifiedAt, std::nullopt);
    return key;
  }
  void addDirectory(const PlanID& plan, std::int64_t runID, const std::string& relPath,
                    std::optional<double> modifiedAt) {
    catalog_->insertEvent(runID, plan, relPath, relPath, "mkdir", std::nullopt, std::nullopt, std::nullopt, modifiedAt,
                          std::nullopt, false);
  }
  // A deletion event as the run engine's sweeps record it: a file's carries its last blob
  // key, a directory's none.
  void deletePath(const PlanID& plan, std::int64_t runID, const std::string& relPath,
                  const std::optional<std::string>& fileBlobKey = std::nullopt) {
    catalog_->insertEvent(runID, plan, relPath, relPath, "delete", fileBlobKey, std::nullopt, std::nullopt,
                          std::nullopt, std::nullopt, true);
  }

  // Closes the catalog so readers see a quiet file.
  void close() { catalog_.reset(); }

 private:
  std::filesystem::path root_;
  EncryptedBlobCodec codec_;
  std::optional<BackupCatalog> catalog_;
};

}  // namespace tvr::readertest

namespace tvr::readertest {

// Every item below `directory` whose name marks a temporary file of an atomic write.
inline std::vector<std::string> temporaryFilesBelow(const std::filesystem::path& directory) {
  std::vector<std::string> found;
  if (!std::filesystem::exists(directory)) return found;
  for (const auto& item : std::filesystem::recursive_directory_iterator(directory)) {
    if (item.path().filename().string().find(".tmp-") != std::string::npos) found.push_back(item.path().string());
  }
  return found;
}

}  // namespace tvr::readertest
