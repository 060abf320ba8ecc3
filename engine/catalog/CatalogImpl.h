#pragma once

// The state behind one BackupCatalog and the helpers its reads and writes share. Internal
// to engine/catalog: BackupCatalog.cpp opens and closes, CatalogReads.cpp answers queries,
// CatalogWrites.cpp records runs and writes checkpoints.

#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/catalog/BackupCatalog.h"
#include "engine/catalog/CatalogConnection.h"
#include "engine/catalog/SnapshotHistoryBuilder.h"
#include "engine/crypto/RepositoryPathCodec.h"

namespace tvr {

inline constexpr const char* kNoKeyMaterialMessage =
    "Repository names are encrypted and require repository key material.";
inline constexpr const char* kNoCheckpointKeyMessage = "Repository checkpoints require repository key material.";

struct BackupCatalog::Impl {
  std::filesystem::path rootURL;
  std::optional<RepositoryKeyMaterial> repositoryKeyMaterial;
  std::optional<RepositoryPathCodec> pathCodec;
  catalog_internal::BackupCatalogSQLiteConnection connection;
  catalog_internal::BackupCatalogStatementPool statements;
  std::mutex queue;
  Clock clock;
  // Superseded manifest blobs whose removal waits for the surrounding transaction to commit,
  // so a rollback never leaves a checkpoint row without its manifest.
  std::vector<std::string> blobRemovalsAfterCommit;

  // A private copy of a catalog that had a rollback journal beside it, removed on close.
  std::filesystem::path privateCopyDirectory;

  ~Impl();

  sqlite3* db() const { return connection.db; }
  double now() const { return clock ? clock() : nowUnixSeconds(); }

  // A pooled statement reset and cleared, ready to bind; reset again when the use ends so
  // no read stays open between operations.
  class Pooled {
   public:
    Pooled(Impl& impl, catalog_internal::PooledStatement which) : impl_(impl) {
      statement_ = impl.statements.statements[which];
      if (statement_ == nullptr) {
        throw catalog_internal::catalogError(catalog_internal::kPooledStatements[which].missingMessage);
      }
      sqlite3_reset(statement_);
      sqlite3_clear_bindings(statement_);
    }
    ~Pooled() {
      sqlite3_reset(statement_);
      sqlite3_clear_bindings(statement_);
    }
    Pooled(const Pooled&) = delete;
    Pooled& operator=(const Pooled&) = delete;

    catalog_internal::Row row() const { return catalog_internal::Row(impl_.db(), statement_); }
    sqlite3_stmt* statement() const { return statement_; }
    int step() { return sqlite3_step(statement_); }
    // Steps once; anything but SQLITE_DONE fails with `failure` + the SQLite message.
    void stepDone(const std::string& failure) {
      if (step() != SQLITE_DONE) throw catalog_internal::catalogError(failure + impl_.connection.sqliteMessage());
    }

   private:
    Impl& impl_;
    sqlite3_stmt* statement_;
  };

  const RepositoryPathCodec& requirePathCodec() const {
    if (!pathCodec) throw catalog_internal::catalogError(kNoKeyMaterialMessage);
    return *pathCodec;
  }

  struct EncryptedPathRecord {
    std::string pathID;
    Bytes relPathCiphertext;
    Bytes relPathNormCiphertext;
  };
  EncryptedPathRecord encryptedPathRecord(const std::string& relPath, const std::string& relPathNorm) const {
    const RepositoryPathCodec& codec = requirePathCodec();
    EncryptedPathRecord record;
    record.pathID = codec.pathIDForNormalizedPath(relPathNorm);
    record.relPathCiphertext = codec.sealPath(relPath);
    record.relPathNormCiphertext = codec.sealPath(relPathNorm);
    return record;
  }

  // -------- opening (BackupCatalog.cpp)
  std::filesystem::path makePrivateCopy(const std::filesystem::path& catalogURL,
                                        const std::filesystem::path& journalURL);
  void initializeSchemaIfNeeded(OpenMode mode);

  // -------- reads (CatalogReads.cpp)
  void requireRestorableRun(const PlanID& planID, std::int64_t runID);
  std::optional<std::string> selectCheckpointBlobKey(const PlanID& planID, std::int64_t runID);
  // The cached checkpoint index of the run, or null when the run has no checkpoint or its
  // index is not cached (`cacheKey` is then the key to store it under).
  std::shared_ptr<const SnapshotIndex> cachedSnapshotIndex(const PlanID& planID, std::int64_t runID,
                                                           std::optional<std::string>& manifestKey,
                                                           std::string& cacheKey);
  std::shared_ptr<const SnapshotIndex> snapshotIndex(const PlanID& planID, std::int64_t runID);
  // For a run with a checkpoint, an index that answers for one path: the children of the
  // folder `path`, and with `includingPath` its own entry. That is the cached whole index
  // when there is one; otherwise only the manifest entries at and below the path are kept
  // from one streamed read (the whole index for the top level's children). Null without
  // checkpoint. `path` is trimmed of "/".
  std::shared_ptr<const SnapshotIndex> checkpointIndexFor(const PlanID& planID, std::int64_t runID,
                                                          std::string_view path, bool includingPath);
  // The manifest of the run's checkpoint, streamed from its blob, with only the entries
  // `keep` accepts.
  SnapshotManifest readManifest(std::int64_t runID, const std::string& manifestKey,
                                const std::function<bool(const SnapshotManifest::FileEntry&)>& keep);
  // Hands `visit` the live rows of the run's snapshot whose normalised path starts with
  // `prefix` (every row for an empty prefix), in path-id order, one at a time; display paths
  // of other rows are never decrypted.
  void forEachLatestHistoryRow(const PlanID& planID, std::int64_t runID, const std::string& prefix,
                               const std::function<void(const catalog_internal::HistoryRow&)>& visit);
  std::optional<SnapshotEntry> historyFileEntry(const PlanID& planID, std::int64_t runID,
                                                const std::string& relPathNorm);
  std::set<std::string> checkpointBlobKeys();
  // The checkpoint writer's entries, from the same resolution as the history reads so both
  // list the same paths: the live files, directories or both of the run's snapshot, in query
  // order, paths decrypted (and with `withText` each entry's manifest text made, as
  // SnapshotManifest::Writer::entryText) on every core in batches; nothing is held between
  // batches. `visit` may take the entry's strings.
  enum class ManifestEntryKinds { files, directories, all };
  void forEachLiveManifestEntry(
      const PlanID& planID, std::int64_t runID, ManifestEntryKinds kinds, bool withText,
      const std::function<void(SnapshotManifest::FileEntry& entry, const std::string& text)>& visit);
  std::vector<SnapshotManifest::FileEntry> liveManifestEntries(const PlanID& planID, std::int64_t runID,
                                                               bool directories);

  // -------- writes (CatalogWrites.cpp)
  std::int64_t renumberPastDeletedRuns(std::int64_t runID);
  void carryEventsForwardPast(const PlanID& planID, std::int64_t runID);
  void rebuildCurrentRowsSeenOnlyBy(const PlanID& planID, std::int64_t runID);
  void insertEventRecord(std::int64_t runID, const PlanID& planID, const std::string& pathID,
                         const Bytes& relPathCiphertext, const Bytes& relPathNormCiphertext, const std::string& op,
                         const std::optional<std::string>& blobKey, std::optional<std::int64_t> sizeBytes,
                         std::optional<double> createdAt, std::optional<double> modifiedAt,
                         std::optional<std::int64_t> contentID, bool deleted, double ts, const std::string& failure);
  void removeBlobNowOrAfterCommit(const std::string& blobKey);
};

}  // namespace tvr
