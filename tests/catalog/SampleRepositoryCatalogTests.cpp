// Reads the catalog of the sample repository written by an independent implementation.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "engine/catalog/BackupCatalog.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "tests/support/ErrorAssertions.h"
#include "tests/support/RawDatabase.h"
#include "tests/support/SnapshotPrinting.h"
#include "tests/support/TempDir.h"

namespace tvr {
namespace {

namespace fs = std::filesystem;
using test::RawDatabase;
using test::TempDir;

const fs::path kFixtures = TVR_FIXTURES_DIR;
const std::string kLetter = "c20897d4d9de87894f420738aec7aa359a433351ab9b3b8cec60c84297c669bf";
const std::string kPhoto = "fe5e034271d85f3f33ff2b81db6ecbd09468ae64a1df26a23e9e308d365342ae";
const std::string kOld = "037b84687fa867b6d9d030a695d19dbb8d92af7316308578035bda3e6e5bf695";
const std::string kEmpty = "6d2dd222f74f05af7f49d68891ccd2d9cb683e1042e1a230a25cf0a1bd3a8102";
const std::string kClip = "aa936a12487fbcadc5cdc6501ef3e85e213c64243bcab69932144a146ba50336";
const std::string kManifest = "07a7b0dc128759c2561b0fe5ca6d195393c81920f504bb14a2fc25b8978c3e90";

RepositoryKeyMaterial fixtureKey() {
  nlohmann::json vectors = nlohmann::json::parse(stringOf(readFileBytes(kFixtures / "crypto-vectors.json")));
  return RepositoryKeyMaterial(*hexDecode(vectors["repositoryKeyHex"].get<std::string>()));
}

std::vector<std::string> ids(const std::vector<SnapshotEntry>& list) {
  std::vector<std::string> out;
  for (const auto& entry : list) out.push_back(entry.id);
  return out;
}

// A writable copy, so nothing here can touch the shared fixture.
class SampleRepository : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::copy(kFixtures / "sample-repository", root(), fs::copy_options::recursive);
    fs::permissions(root() / "catalog.sqlite", fs::perms::owner_write, fs::perm_options::add);
    fs::permissions(root(), fs::perms::owner_write, fs::perm_options::add);
    BackupCatalogSnapshotIndexCache::shared().removeAll();
    catalog_ = std::make_unique<BackupCatalog>(root(), fixtureKey(), BackupCatalog::OpenMode::readOnly);
  }
  fs::path root() const { return temp_ / "repo"; }

  TempDir temp_;
  std::unique_ptr<BackupCatalog> catalog_;
};

TEST_F(SampleRepository, Runs) {
  std::vector<RunInfo> runs = catalog_->listRuns("family-archive", false);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].id, 1);
  EXPECT_EQ(runs[0].runUUID, "C50D4A4B-B825-5ED3-84B6-7113F2858907");
  EXPECT_EQ(runs[0].startedAt, 1775030400.0);  // 2026-04-01T08:00:00Z
  EXPECT_EQ(runs[0].finishedAt, 1775030460.0);
  EXPECT_EQ(runs[0].status, RunStatus::completed);
  EXPECT_EQ(runs[0].filesTotalCount, 5);
  EXPECT_EQ(runs[1].id, 2);
  EXPECT_EQ(runs[1].finishedAt, 1775116920.0);
  EXPECT_TRUE(catalog_->listRuns("other", true).empty());
}

TEST_F(SampleRepository, TopLevelPerRun) {
  EXPECT_EQ(ids(catalog_->listSnapshotChildren("family-archive", 1, std::nullopt)),
            (std::vector<std::string>{"d:letters", "d:photos", "f:empty", "f:old.txt"}));
  EXPECT_EQ(ids(catalog_->listSnapshotChildren("family-archive", 2, std::nullopt)),
            (std::vector<std::string>{"d:letters", "d:photos", "d:video", "f:empty"}));
}

TEST_F(SampleRepository, BelowTheTopAndImpliedDirectories) {
  for (std::int64_t run : {1, 2}) {
    SCOPED_TRACE(run);
    auto top = catalog_->listSnapshotChildren("family-archive", run, std::nullopt);
    const SnapshotEntry& letters = top[0];
    EXPECT_EQ(letters.modifiedAt, 1772359200.0);  // 2026-03-01T10:00:00Z
    EXPECT_EQ(letters.createdAt, std::nullopt);
    const SnapshotEntry& photos = top[1];
    EXPECT_EQ(photos.modifiedAt, 1772445600.0);  // the photo's date
    EXPECT_EQ(photos.createdAt, std::nullopt);

    auto inPhotos = catalog_->listSnapshotChildren("family-archive", run, "photos");
    ASSERT_EQ(ids(inPhotos), (std::vector<std::string>{"d:photos/2025"}));
    EXPECT_EQ(inPhotos[0].modifiedAt, 1772445600.0);
    auto photo = catalog_->listSnapshotChildren("family-archive", run, "photos/2025/");
    ASSERT_EQ(photo.size(), 1u);
    EXPECT_EQ(photo[0].id, "f:photos/2025/st\u00e9phane.jpg");
    EXPECT_EQ(photo[0].name, "Ste\u0301phane.jpg");
    EXPECT_EQ(photo[0].relPath, "photos/2025/Ste\u0301phane.jpg");
    EXPECT_EQ(photo[0].blobKey, kPhoto);
    EXPECT_EQ(photo[0].sizeBytes, 18);
    EXPECT_EQ(photo[0].createdAt, 1772442000.0);

    auto letter = catalog_->listSnapshotChildren("family-archive", run, "letters");
    ASSERT_EQ(ids(letter), (std::vector<std::string>{"f:letters/to grandma.txt"}));
    EXPECT_EQ(letter[0].blobKey, kLetter);
    EXPECT_EQ(letter[0].sizeBytes, 14);
    EXPECT_EQ(letter[0].createdAt, 1772355600.0);
    EXPECT_EQ(letter[0].modifiedAt, 1772359200.0);
  }
}

TEST_F(SampleRepository, FileEntries) {
  struct Case {
    std::int64_t run;
    const char* path;
    std::optional<std::string> blobKey;  // nullopt: no entry
    std::int64_t size;
  } cases[] = {
      {1, "letters/to grandma.txt", kLetter, 14},
      {1, "old.txt", kOld, 14},
      {2, "old.txt", std::nullopt, 0},
      {1, "empty", kEmpty, 0},
      {2, "empty", kEmpty, 0},
      {2, "video/clip.bin", kClip, 1048577},
      {1, "video/clip.bin", std::nullopt, 0},
      {2, "/letters/to grandma.txt", kLetter, 14},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.run) + " " + c.path);
    auto entry = catalog_->snapshotFileEntry("family-archive", c.run, c.path);
    ASSERT_EQ(entry.has_value(), c.blobKey.has_value());
    if (!entry) continue;
    EXPECT_EQ(entry->blobKey, c.blobKey);
    EXPECT_EQ(entry->sizeBytes, c.size);
  }
  auto clip = catalog_->snapshotFileEntry("family-archive", 2, "video/clip.bin");
  EXPECT_EQ(clip->createdAt, 1772701200.0);
  EXPECT_EQ(clip->modifiedAt, 1772704800.0);
  // The mkdir event answers the history lookup of run 1; the checkpoint of run 2 knows files only.
  auto letters1 = catalog_->snapshotFileEntry("family-archive", 1, "letters");
  ASSERT_TRUE(letters1.has_value());
  EXPECT_EQ(letters1->blobKey, std::nullopt);
  EXPECT_EQ(catalog_->snapshotFileEntry("family-archive", 2, "letters"), std::nullopt);
}

TEST_F(SampleRepository, CheckpointOfRunTwoAndBlobKeySets) {
  EXPECT_EQ(catalog_->selectCheckpointBlobKey("family-archive", 1), std::nullopt);
  EXPECT_EQ(catalog_->selectCheckpointBlobKey("family-archive", 2), kManifest);
  auto index = catalog_->snapshotIndex("family-archive", 2);
  ASSERT_NE(index, nullptr);
  EXPECT_EQ(index->fileCount(), 4u);
  EXPECT_EQ(catalog_->snapshotIndex("family-archive", 2).get(), index.get());  // cached
  EXPECT_EQ(catalog_->checkpointBlobKeys(), (std::set<std::string>{kManifest}));
  EXPECT_EQ(catalog_->referencedBlobKeys(), (std::set<std::string>{kLetter, kPhoto, kOld, kEmpty, kClip, kManifest}));
}

TEST_F(SampleRepository, HistoryOfRunTwoMatchesItsCheckpoint) {
  std::map<std::string, std::vector<SnapshotEntry>> fromCheckpoint;
  auto checkpointSnapshot = catalog_->loadSnapshot("family-archive", 2);
  for (const char* dir : {"", "letters", "photos", "photos/2025", "video"}) {
    fromCheckpoint[dir] = catalog_->listSnapshotChildren("family-archive", 2, std::string(dir));
    EXPECT_EQ(checkpointSnapshot->children(dir), fromCheckpoint[dir]) << dir;
  }
  {
    RawDatabase db(root() / "catalog.sqlite");
    ASSERT_EQ(db.exec("DELETE FROM checkpoints;"), "");
  }
  BackupCatalog reopened(root(), fixtureKey(), BackupCatalog::OpenMode::readOnly);
  auto historySnapshot = reopened.loadSnapshot("family-archive", 2);
  for (const auto& [dir, expected] : fromCheckpoint) {
    SCOPED_TRACE(dir);
    EXPECT_EQ(reopened.listSnapshotChildren("family-archive", 2, dir), expected);
    EXPECT_EQ(historySnapshot->children(dir), expected);
  }
  auto run1 = reopened.loadSnapshot("family-archive", 1);
  EXPECT_EQ(run1->children(""), reopened.listSnapshotChildren("family-archive", 1, std::nullopt));
}

TEST_F(SampleRepository, EventsOfARun) {
  auto events = catalog_->listRunFileEvents("family-archive", 2);
  ASSERT_EQ(events.size(), 2u);
  std::map<std::string, RunFileEvent> byPath;
  for (const auto& event : events) byPath[event.relPathNorm] = event;
  EXPECT_EQ(byPath.at("old.txt").operation, "delete");
  EXPECT_TRUE(byPath.at("old.txt").deleted);
  EXPECT_EQ(byPath.at("video/clip.bin").sizeBytes, 1048577);
  auto current = catalog_->loadCurrentIndex("family-archive");
  EXPECT_TRUE(current.at("old.txt").deleted);
  EXPECT_EQ(current.at("photos/2025/st\u00e9phane.jpg").relPath, "photos/2025/Ste\u0301phane.jpg");
}

}  // namespace
}  // namespace tvr
