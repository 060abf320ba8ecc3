#include "tests/support/RepositoryBuilder.h"

#include <fstream>
#include <limits>
#include <set>
#include <unordered_set>

#include "engine/crypto/EncryptedBlobCodec.h"
#include "engine/crypto/RecoveryKeyWrapping.h"
#include "engine/crypto/RepositoryPathCodec.h"
#include "engine/metadata/RepositoryEncryptionMetadata.h"
#include "engine/metadata/RepositoryMetadata.h"
#include "engine/metadata/RepositoryPlanIndex.h"
#include "engine/storage/BackupCatalogBlobStore.h"
#include "platform/SecureRandom.h"

namespace tvr::test {

namespace fs = std::filesystem;

void writeUnencryptedRepositoryDocument(const std::filesystem::path& root) {
  RepositoryMetadata metadata;
  metadata.formatVersion = 1;
  metadata.minimumReaderVersion = 1;
  metadata.createdAt = 1772359200.0;
  metadata.layout = RepositoryLayout(false);
  std::ofstream(root / "repo.json") << metadata.encodedDocument();
}

RepositoryKeyMaterial testKeyMaterial() {
  Bytes raw(RepositoryKeyMaterial::byteCount);
  for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<std::uint8_t>(i);
  return RepositoryKeyMaterial(raw);
}

BackupCatalog BuiltRepository::openCatalog(BackupCatalog::OpenMode mode) const {
  return BackupCatalog(root, keyMaterial, mode);
}

BackupCatalog BuiltRepository::openCatalogWithoutKey() const {
  return BackupCatalog(root, std::nullopt, BackupCatalog::OpenMode::readOnly);
}

fs::path BuiltRepository::blobPath(const std::string& blobKey) const {
  return BackupCatalogBlobStore::blobPath(blobKey, root);
}

namespace {

// Seals the contents under root/blobs unless that blob is there already; returns its key.
std::string sealContentBlob(const fs::path& root, const EncryptedBlobCodec& codec, const std::string& contents) {
  Bytes plaintext = bytesOf(contents);
  std::string key = codec.blobKeyForPlaintext(plaintext);
  if (!fs::exists(BackupCatalogBlobStore::blobPath(key, root))) {
    BackupCatalogBlobStore::writeBlobIfNeeded(codec.seal(plaintext), key, root);
  }
  return key;
}

std::string storeContentBlob(BuiltRepository& repository, const EncryptedBlobCodec& codec,
                             const std::string& contents) {
  std::string key = sealContentBlob(repository.root, codec, contents);
  repository.blobKeysByContents[contents] = key;
  return key;
}

std::string normalised(const std::optional<std::string>& given, const std::string& relPath, bool caseInsensitive) {
  return given ? *given : normalizedRelPath(relPath, caseInsensitive);
}

std::int64_t recordRun(BuiltRepository& repository, BackupCatalog& catalog, const TestPlan& plan, const TestRun& run) {
  EncryptedBlobCodec codec(repository.keyMaterial);
  const PlanID& planID = plan.planID;
  std::unordered_map<std::string, CurrentFileEntry> current = catalog.loadCurrentIndex(planID);
  std::unordered_set<std::string> liveDirectories;
  for (const auto& entry : catalog.snapshotDirectoryEntries(planID, std::numeric_limits<std::int64_t>::max())) {
    liveDirectories.insert(entry.relPathNorm);
  }
  std::string runUUID = run.runUUID.value_or(newUUIDString());

  std::int64_t runID = catalog.withTransaction([&] {
    std::int64_t id = catalog.beginRun(runUUID, planID, plan.sourcePath, repository.root.string(), run.caseInsensitive,
                                       "sha256", std::string("tvr-test-support"), std::nullopt, std::nullopt);
    BackupRunSummary summary;
    std::set<std::string> seenDirectories;
    for (const TestDirectory& directory : run.directories) {
      std::string norm = normalised(directory.relPathNorm, directory.relPath, run.caseInsensitive);
      seenDirectories.insert(norm);
      if (liveDirectories.count(norm) != 0) continue;
      catalog.insertEvent(id, planID, directory.relPath, norm, "mkdir", std::nullopt, std::nullopt, directory.createdAt,
                          directory.modifiedAt, std::nullopt, false);
    }
    for (const TestFile& file : run.files) {
      std::string norm = normalised(file.relPathNorm, file.relPath, run.caseInsensitive);
      for (std::size_t slash = norm.find('/'); slash != std::string::npos; slash = norm.find('/', slash + 1)) {
        seenDirectories.insert(norm.substr(0, slash));
      }
      std::string blobKey = storeContentBlob(repository, codec, file.contents);
      auto previous = current.find(norm);
      bool known = previous != current.end() && !previous->second.deleted;
      bool unchanged = known && previous->second.blobKey == blobKey && previous->second.relPath == file.relPath &&
                       previous->second.modifiedAt == file.modifiedAt && previous->second.createdAt == file.createdAt;
      summary.filesTotalCount += 1;
      summary.filesTotalBytes += static_cast<std::int64_t>(file.contents.size());
      if (unchanged) {
        catalog.touchCurrent(planID, id, norm);
        summary.filesSkippedCount += 1;
        continue;
      }
      auto size = static_cast<std::int64_t>(file.contents.size());
      catalog.upsertCurrent(planID, id, file.relPath, norm, blobKey, size, file.createdAt, file.modifiedAt,
                            file.contentID);
      catalog.insertEvent(id, planID, file.relPath, norm, known ? "replace" : "copy", blobKey, size, file.createdAt,
                          file.modifiedAt, file.contentID, false);
      (known ? summary.filesReplaceCount : summary.filesCopyCount) += 1;
    }
    for (const TestEvent& event : run.extraEvents) {
      std::string norm = normalised(event.relPathNorm, event.relPath, run.caseInsensitive);
      std::optional<std::string> blobKey = event.blobKey;
      std::optional<std::int64_t> size = event.sizeBytes;
      if (event.contents) {
        blobKey = storeContentBlob(repository, codec, *event.contents);
        size = static_cast<std::int64_t>(event.contents->size());
      }
      catalog.insertEvent(id, planID, event.relPath, norm, event.op, blobKey, size, event.createdAt, event.modifiedAt,
                          std::nullopt, event.deleted);
    }
    if (run.sweep) {
      summary.filesDeletedCount += catalog.sweepDeletionsAndRecordEvents(planID, id);
      catalog.sweepDirectoryDeletionsAndRecordEvents(planID, id, seenDirectories);
    }
    catalog.updateRunSummary(id, summary);
    if (run.status == RunStatus::completed) {
      catalog.finishRun(id);
    } else if (run.status != RunStatus::running) {
      catalog.markRunFailed(id, run.status);
    }
    return id;
  });

  if (run.checkpoint) repository.checkpointKeys[runID] = catalog.writeSnapshotCheckpoint(planID, runID);
  repository.runIDs[planID.rawValue()].push_back(runID);
  repository.runUUIDs[planID.rawValue()].push_back(runUUID);
  return runID;
}

}  // namespace

BuiltRepository buildRepository(const fs::path& root, const RepositorySpec& spec) {
  BuiltRepository repository{root, spec.keyMaterial.value_or(testKeyMaterial()), spec.recoveryPassword, {}, {}, {}, {}};

  std::optional<RepositoryMetadata> existing = RepositoryMetadata::read(root);
  std::optional<RepositoryEncryptionMetadata> encryption;
  if (existing && existing->encryption) {
    encryption = existing->encryption;
  } else {
    RepositoryEncryptionMetadata fresh;
    fresh.version = 1;
    fresh.blobAlgorithm = "AES-256-GCM";
    fresh.compressionAlgorithm = "LZFSE";
    fresh.keyDerivationAlgorithm = "HKDF-SHA256";
    fresh.recoveryWrappedKey =
        RecoveryKeyWrapping::wrap(repository.keyMaterial, spec.recoveryPassword, spec.iterations);
    encryption = fresh;
  }
  RepositoryMetadata::ensureWritableRepository(root, encryption);

  RepositoryPlanSettings settings;
  settings.scheduleFrequency = "daily";
  settings.scheduleMode = "automatic";
  settings.scheduleHour = 2;
  settings.powerPolicy = "any";
  settings.networkPolicy = "any";
  for (const TestPlan& plan : spec.plans) {
    RepositoryPlanIndex::registerPlan(plan.planID, plan.name, plan.sourcePath, root.string(), settings,
                                      repository.keyMaterial, root);
  }

  BackupCatalog catalog(root, repository.keyMaterial, BackupCatalog::OpenMode::createOrOpenForWrite);
  for (const TestPlan& plan : spec.plans) {
    for (const TestRun& run : plan.runs) recordRun(repository, catalog, plan, run);
  }
  return repository;
}

std::int64_t appendRun(BuiltRepository& repository, const PlanID& planID, const TestRun& run) {
  BackupCatalog catalog(repository.root, repository.keyMaterial, BackupCatalog::OpenMode::readWrite);
  TestPlan plan{planID, planID.rawValue(), {}};
  return recordRun(repository, catalog, plan, run);
}

RepositoryEventBuilder::RepositoryEventBuilder(fs::path root, RepositoryKeyMaterial key)
    : root_(std::move(root)), codec_(key) {
  RepositoryEncryptionMetadata encryption;
  encryption.version = 1;
  encryption.blobAlgorithm = "AES-256-GCM";
  encryption.compressionAlgorithm = "LZFSE";
  encryption.keyDerivationAlgorithm = "HKDF-SHA256";
  RepositoryMetadata::ensureWritableRepository(root_, encryption, 1775030400);
  catalog_.emplace(root_, std::optional<RepositoryKeyMaterial>(key), BackupCatalog::OpenMode::createOrOpenForWrite);
}

std::int64_t RepositoryEventBuilder::beginRun(const PlanID& plan) {
  return catalog_->beginRun(newUUIDString(), plan, "/source", root_.string(), true, "sha256", std::nullopt,
                            std::nullopt, std::nullopt);
}

std::string RepositoryEventBuilder::storeBlob(const std::string& content) {
  return sealContentBlob(root_, codec_, content);
}

fs::path RepositoryEventBuilder::blobPath(const std::string& key) const {
  return BackupCatalogBlobStore::blobPath(key, root_);
}

std::string RepositoryEventBuilder::addFile(const PlanID& plan, std::int64_t runID, const std::string& relPath,
                                            const std::string& content, double modifiedAt,
                                            std::optional<double> createdAt, std::optional<std::string> relPathNorm) {
  const std::string key = storeBlob(content);
  const std::string norm = relPathNorm.value_or(relPath);
  const auto size = static_cast<std::int64_t>(content.size());
  catalog_->insertEvent(runID, plan, relPath, norm, "copy", key, size, createdAt, modifiedAt, std::nullopt, false);
  catalog_->upsertCurrent(plan, runID, relPath, norm, key, size, createdAt, modifiedAt, std::nullopt);
  return key;
}

void RepositoryEventBuilder::addDirectory(const PlanID& plan, std::int64_t runID, const std::string& relPath,
                                          std::optional<double> modifiedAt) {
  catalog_->insertEvent(runID, plan, relPath, relPath, "mkdir", std::nullopt, std::nullopt, std::nullopt, modifiedAt,
                        std::nullopt, false);
}

void RepositoryEventBuilder::deletePath(const PlanID& plan, std::int64_t runID, const std::string& relPath,
                                        const std::optional<std::string>& fileBlobKey) {
  catalog_->insertEvent(runID, plan, relPath, relPath, "delete", fileBlobKey, std::nullopt, std::nullopt, std::nullopt,
                        std::nullopt, true);
}

}  // namespace tvr::test
