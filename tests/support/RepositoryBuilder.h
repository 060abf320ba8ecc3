#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/catalog/BackupCatalog.h"
#include "engine/crypto/EncryptedBlobCodec.h"
#include "engine/crypto/RepositoryKeyMaterial.h"
#include "engine/metadata/PlanID.h"

namespace tvr::test {

// Builds a REAL encrypted repository on disk from a short description, using only the
// engine's own writer operations: RepositoryMetadata::ensureWritableRepository with a
// RecoveryKeyWrapping-wrapped key, RepositoryPlanIndex::registerPlan, the BackupCatalog
// write operations inside withTransaction (one transaction per run), content blobs sealed
// with EncryptedBlobCodec into blobs/<xx>/<key>, and writeSnapshotCheckpoint.
//
// Each run lists the COMPLETE state of the source at that run (like a real backup):
//  - a file that is new gets upsertCurrent + a "copy" event; one whose contents, dates or
//    display path changed gets a "replace" event; an unchanged one only touchCurrent;
//  - a directory gets a "mkdir" event when it is not already live;
//  - with `sweep` (default) both deletion sweeps then record "delete" events for every
//    file and "mkdir" directory of earlier runs that the run does not list;
//  - `extraEvents` are appended afterwards exactly as given (two events for one path in
//    one run, odd operations, a deletion without a sweep...).
// Run ids are assigned by the catalog in build order (plans in order, runs in order).
//
// Example:
//   TempDir temp;
//   RepositorySpec spec;
//   spec.plans.push_back({"photos", "Photos", {
//       TestRun{.files = {{"a/b.txt", "hello"}, {"top.txt", "x", .modifiedAt = 1.7e9}},
//               .directories = {{"a"}}},
//       TestRun{.files = {{"top.txt", "x", .modifiedAt = 1.7e9}},   // a/b.txt deleted
//               .status = RunStatus::completed, .checkpoint = true},
//   }});
//   BuiltRepository repo = buildRepository(temp.path(), spec);
//   BackupCatalog catalog = repo.openCatalog();                 // readOnly, with the key
//   auto top = catalog.listSnapshotChildren("photos", repo.runIDs.at("photos")[1], std::nullopt);
//
// Throws whatever the engine operations throw; not thread-safe (build before sharing).

struct TestFile {
  std::string relPath;
  std::string contents;
  std::optional<std::string> relPathNorm;  // default: relPath (normalised per the run's caseInsensitive)
  std::optional<double> createdAt;         // Unix seconds
  double modifiedAt = 1772359200.0;        // 2026-03-01T10:00:00Z
  std::optional<std::int64_t> contentID;
};

struct TestDirectory {
  std::string relPath;
  std::optional<std::string> relPathNorm;
  std::optional<double> modifiedAt;
  std::optional<double> createdAt;
};

// An event appended as is with BackupCatalog::insertEvent. With `contents` the blob is
// stored and its key, size recorded; otherwise blobKey/sizeBytes as given.
struct TestEvent {
  std::string relPath;
  std::optional<std::string> relPathNorm;
  std::string op = "copy";
  std::optional<std::string> contents;
  std::optional<std::string> blobKey;
  std::optional<std::int64_t> sizeBytes;
  std::optional<double> createdAt;
  std::optional<double> modifiedAt;
  bool deleted = false;
};

struct TestRun {
  std::vector<TestFile> files;
  std::vector<TestDirectory> directories;
  std::vector<TestEvent> extraEvents;
  RunStatus status = RunStatus::completed;
  bool checkpoint = false;
  bool sweep = true;
  bool caseInsensitive = false;
  std::optional<std::string> runUUID;  // default: a new UUID
};

struct TestPlan {
  PlanID planID;
  std::string name;
  std::vector<TestRun> runs;
  std::string sourcePath = "/Users/test/Source";
};

inline constexpr const char* kTestRecoveryPassword = "test recovery password";

struct RepositorySpec {
  std::vector<TestPlan> plans;
  std::optional<RepositoryKeyMaterial> keyMaterial;  // default: testKeyMaterial()
  std::string recoveryPassword = kTestRecoveryPassword;
  std::int64_t iterations = 210000;
};

struct BuiltRepository {
  std::filesystem::path root;
  RepositoryKeyMaterial keyMaterial;
  std::string recoveryPassword;
  std::map<std::string, std::vector<std::int64_t>> runIDs;   // plan id -> run ids in order
  std::map<std::string, std::vector<std::string>> runUUIDs;  // plan id -> run UUIDs in order
  std::map<std::int64_t, std::string> checkpointKeys;        // run id -> manifest blob key
  std::map<std::string, std::string> blobKeysByContents;     // plaintext -> content blob key

  BackupCatalog openCatalog(BackupCatalog::OpenMode mode = BackupCatalog::OpenMode::readOnly) const;
  BackupCatalog openCatalogWithoutKey() const;
  // root / "blobs" / xx / key.
  std::filesystem::path blobPath(const std::string& blobKey) const;
};

// A fixed key (bytes 0x00..0x1f) so failures are reproducible.
RepositoryKeyMaterial testKeyMaterial();

// Writes root/repo.json of a repository without encryption (created 2026-03-01T10:00:00Z),
// which the writer refuses to create.
void writeUnencryptedRepositoryDocument(const std::filesystem::path& root);

// Builds the repository under `root` (created when missing; an existing repository of the
// same key is extended).
BuiltRepository buildRepository(const std::filesystem::path& root, const RepositorySpec& spec);

// Adds one run to a plan of an existing repository built with the same key (its files are
// compared with the plan's current rows, as buildRepository does). Returns the run id.
std::int64_t appendRun(BuiltRepository& repository, const PlanID& planID, const TestRun& run);

// Writes a repository event by event, for states a complete-source run description cannot
// give (a run left running, a deletion event without a sweep, paths no source could hold):
// repo.json without a recovery-wrapped key, the catalog (runs, events, checkpoints) and
// sealed blobs under blobs/, all through the engine's writer operations. Paths are recorded
// with the display path as normalised path unless one is given. The catalog stays open
// for writing until close() or destruction. Throws whatever the engine operations throw;
// not thread-safe.
//
// Example:
//   RepositoryEventBuilder builder(temp.path() / "repository");
//   std::int64_t run = builder.beginRun(plan);
//   builder.addFile(plan, run, "docs/a.txt", "hello", iso("2026-01-02T00:00:00Z"));
//   builder.finishRun(run);
class RepositoryEventBuilder {
 public:
  explicit RepositoryEventBuilder(std::filesystem::path root, RepositoryKeyMaterial key = testKeyMaterial());

  const std::filesystem::path& root() const { return root_; }
  BackupCatalog& catalog() { return *catalog_; }

  std::int64_t beginRun(const PlanID& plan);
  void finishRun(std::int64_t runID) { catalog_->finishRun(runID); }
  // The manifest blob key.
  std::string checkpoint(const PlanID& plan, std::int64_t runID) {
    return catalog_->writeSnapshotCheckpoint(plan, runID);
  }

  // Seals the content as a blob (once per content) and returns its key.
  std::string storeBlob(const std::string& content);
  // root / "blobs" / xx / key.
  std::filesystem::path blobPath(const std::string& key) const;

  // A "copy" event and the current row of a file; returns its blob key.
  std::string addFile(const PlanID& plan, std::int64_t runID, const std::string& relPath, const std::string& content,
                      double modifiedAt, std::optional<double> createdAt = std::nullopt,
                      std::optional<std::string> relPathNorm = std::nullopt);
  // A "mkdir" event.
  void addDirectory(const PlanID& plan, std::int64_t runID, const std::string& relPath,
                    std::optional<double> modifiedAt);
  // A deletion event as the run engine's sweeps record it: a file's carries its last blob
  // key, a directory's none.
  void deletePath(const PlanID& plan, std::int64_t runID, const std::string& relPath,
                  const std::optional<std::string>& fileBlobKey = std::nullopt);

  // Closes the catalog so readers see a quiet file.
  void close() { catalog_.reset(); }

 private:
  std::filesystem::path root_;
  EncryptedBlobCodec codec_;
  std::optional<BackupCatalog> catalog_;
};

}  // namespace tvr::test
