#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <thread>

#include "engine/catalog/BackupCatalog.h"
#include "engine/catalog/CatalogConnection.h"
#include "engine/catalog/SnapshotHistoryBuilder.h"
#include "engine/catalog/SnapshotPaths.h"
#include "engine/crypto/EncryptedBlobCodec.h"
#include "engine/storage/BackupCatalogBlobStore.h"
#include "platform/CanonicalJson.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/Iso8601.h"
#include "platform/Unicode.h"
#include "tests/support/ErrorAssertions.h"
#include "tests/support/Files.h"
#include "tests/support/RawDatabase.h"
#include "tests/support/RepositoryBuilder.h"
#include "tests/support/SnapshotPrinting.h"
#include "tests/support/TempDir.h"

namespace tvr {
namespace {

namespace fs = std::filesystem;
using test::buildRepository;
using test::BuiltRepository;
using test::RawDatabase;
using test::RepositorySpec;
using test::TempDir;
using test::TestDirectory;
using test::TestEvent;
using test::TestFile;
using test::TestPlan;
using test::TestRun;
using test::throwsError;

constexpr double kDay = 86400;
constexpr double kT0 = 1772359200;  // 2026-03-01T10:00:00Z

std::vector<std::string> ids(const std::vector<SnapshotEntry>& list) {
  std::vector<std::string> out;
  for (const auto& entry : list) out.push_back(entry.id);
  return out;
}

// Every directory of a run, walked from the top through listSnapshotChildren.
std::map<std::string, std::vector<SnapshotEntry>> walk(BackupCatalog& catalog, const PlanID& plan, std::int64_t run) {
  std::map<std::string, std::vector<SnapshotEntry>> all;
  std::function<void(const std::string&)> visit = [&](const std::string& dir) {
    all[dir] = catalog.listSnapshotChildren(plan, run, dir);
    for (const auto& child : all[dir]) {
      if (child.kind == SnapshotKind::directory) visit(child.relPathNorm);
    }
  };
  visit("");
  return all;
}

std::map<std::string, std::vector<SnapshotEntry>> walk(const SnapshotIndex& index) {
  std::map<std::string, std::vector<SnapshotEntry>> all;
  std::function<void(const std::string&)> visit = [&](const std::string& dir) {
    all[dir] = index.children(dir);
    for (const auto& child : all[dir]) {
      if (child.kind == SnapshotKind::directory) visit(child.relPathNorm);
    }
  };
  visit("");
  return all;
}

// A history with implied and recorded directories, a deletion, a rename of display case,
// numeric names and a directory sorting before an earlier-named file. Recorded directory
// dates are not later than the files below them, so the checkpoint and the history agree
// on directory dates too.
std::vector<TestRun> richHistory(bool checkpointLastRun) {
  TestRun first{.files = {{"alpha.txt", "a", std::nullopt, kT0 - kDay, kT0},
                          {"zeta/inner.txt", "z", std::nullopt, std::nullopt, kT0 + 1},
                          {"docs/file10.txt", "10", std::nullopt, std::nullopt, kT0 + 2},
                          {"docs/file2.txt", "2", std::nullopt, std::nullopt, kT0 + 3},
                          {"docs/deep/er/leaf.bin", "leaf", std::nullopt, std::nullopt, kT0 + 9},
                          {"gone.txt", "bye", std::nullopt, std::nullopt, kT0}},
                .directories = {{"docs", std::nullopt, kT0}, {"empty-dir", std::nullopt, std::nullopt}}};
  TestRun second = first;
  second.files.erase(second.files.end() - 1);  // gone.txt deleted
  second.files.push_back({"Zebra.txt", "Z", std::nullopt, std::nullopt, kT0 + 20});
  second.files[1].contents = "z changed";
  second.files[1].modifiedAt = kT0 + 30;
  second.checkpoint = checkpointLastRun;
  return {first, second};
}

class SnapshotQueries : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    temp_ = new TempDir();
    RepositorySpec spec;
    spec.plans.push_back({"history", "History", richHistory(false)});
    spec.plans.push_back({"checkpointed", "Checkpointed", richHistory(true)});
    TestRun reused{.files = {{"x.txt", "one"}}};
    TestRun deleted{.files = {}};
    TestRun recreated{.files = {{"x.txt", "two", std::nullopt, std::nullopt, kT0 + 5}}};
    TestRun twoEvents{.files = {},
                      .extraEvents = {{"dup.txt", std::nullopt, "copy", std::string("first"), {}, {}, {}, kT0},
                                      {"dup.txt", std::nullopt, "replace", std::string("second"), {}, {}, {}, kT0 + 1}},
                      .sweep = false};
    TestRun failed{.files = {{"x.txt", "two", std::nullopt, std::nullopt, kT0 + 5}}, .status = RunStatus::failed};
    spec.plans.push_back({"cycle", "Cycle", {reused, deleted, recreated, twoEvents, failed}});
    repo_ = new BuiltRepository(buildRepository(temp_->path(), spec));
  }
  static void TearDownTestSuite() {
    delete repo_;
    delete temp_;
  }
  void SetUp() override { catalog_ = std::make_unique<BackupCatalog>(repo_->openCatalog()); }
  std::int64_t run(const std::string& plan, std::size_t index) { return repo_->runIDs.at(plan).at(index); }

  static TempDir* temp_;
  static BuiltRepository* repo_;
  std::unique_ptr<BackupCatalog> catalog_;
};
TempDir* SnapshotQueries::temp_ = nullptr;
BuiltRepository* SnapshotQueries::repo_ = nullptr;

TEST_F(SnapshotQueries, HistoryAndCheckpointListTheSameChildren) {
  std::int64_t plain = run("history", 1);
  std::int64_t checkpointed = run("checkpointed", 1);
  ASSERT_EQ(catalog_->selectCheckpointBlobKey("history", plain), std::nullopt);
  ASSERT_TRUE(catalog_->selectCheckpointBlobKey("checkpointed", checkpointed).has_value());

  auto fromHistory = walk(*catalog_, "history", plain);
  auto fromCheckpoint = walk(*catalog_, "checkpointed", checkpointed);
  EXPECT_EQ(fromHistory, fromCheckpoint);
  EXPECT_EQ(ids(fromHistory.at("")),
            (std::vector<std::string>{"d:docs", "d:empty-dir", "d:zeta", "f:alpha.txt", "f:Zebra.txt"}));
  EXPECT_EQ(ids(fromHistory.at("docs")),
            (std::vector<std::string>{"d:docs/deep", "f:docs/file2.txt", "f:docs/file10.txt"}));
  const SnapshotEntry& docs = fromHistory.at("").front();
  EXPECT_EQ(docs.modifiedAt, kT0 + 9);  // newest file below
  EXPECT_EQ(docs.createdAt, std::nullopt);
  EXPECT_EQ(fromHistory.at("").at(1).modifiedAt, std::nullopt);  // empty-dir
  const SnapshotEntry& alpha = fromHistory.at("").at(3);
  EXPECT_EQ(alpha.createdAt, kT0 - kDay);
  EXPECT_EQ(alpha.blobKey, repo_->blobKeysByContents.at("a"));
  EXPECT_EQ(alpha.sizeBytes, 1);

  // One-pass snapshots answer exactly as the per-directory queries.
  EXPECT_EQ(walk(*catalog_->loadSnapshot("history", plain)), fromHistory);
  EXPECT_EQ(walk(*catalog_->loadSnapshot("checkpointed", checkpointed)), fromCheckpoint);
  EXPECT_EQ(catalog_->loadSnapshot("checkpointed", checkpointed).get(),
            catalog_->snapshotIndex("checkpointed", checkpointed).get());
}

TEST_F(SnapshotQueries, ImpliedDirectoriesCarryTheFilesDateAndNoCreationDate) {
  for (const char* plan : {"history", "checkpointed"}) {
    SCOPED_TRACE(plan);
    auto deep = catalog_->listSnapshotChildren(plan, run(plan, 1), "docs/deep");
    ASSERT_EQ(ids(deep), (std::vector<std::string>{"d:docs/deep/er"}));
    EXPECT_EQ(deep[0].name, "er");
    EXPECT_EQ(deep[0].relPath, "docs/deep/er");
    EXPECT_EQ(deep[0].modifiedAt, kT0 + 9);
    EXPECT_EQ(deep[0].createdAt, std::nullopt);
    EXPECT_EQ(deep[0].sizeBytes, std::nullopt);
    EXPECT_EQ(deep[0].blobKey, std::nullopt);
  }
}

TEST_F(SnapshotQueries, DirectoryArgumentFormsAgree) {
  for (const char* plan : {"history", "checkpointed"}) {
    SCOPED_TRACE(plan);
    std::int64_t id = run(plan, 1);
    auto expected = catalog_->listSnapshotChildren(plan, id, "docs/deep");
    for (const char* form : {"docs/deep/", "/docs/deep", "/docs/deep/"}) {
      EXPECT_EQ(catalog_->listSnapshotChildren(plan, id, std::string(form)), expected) << form;
    }
    auto top = catalog_->listSnapshotChildren(plan, id, std::nullopt);
    EXPECT_EQ(catalog_->listSnapshotChildren(plan, id, std::string("")), top);
    EXPECT_EQ(catalog_->listSnapshotChildren(plan, id, std::string("/")), top);
    EXPECT_TRUE(catalog_->listSnapshotChildren(plan, id, std::string("no/such/dir")).empty());
  }
}

TEST_F(SnapshotQueries, EarlierRunsKeepTheirOwnState) {
  for (const char* plan : {"history", "checkpointed"}) {
    SCOPED_TRACE(plan);
    auto top1 = catalog_->listSnapshotChildren(plan, run(plan, 0), std::nullopt);
    EXPECT_EQ(ids(top1), (std::vector<std::string>{"d:docs", "d:empty-dir", "d:zeta", "f:alpha.txt", "f:gone.txt"}));
    auto inner1 = catalog_->snapshotFileEntry(plan, run(plan, 0), "zeta/inner.txt");
    auto inner2 = catalog_->snapshotFileEntry(plan, run(plan, 1), "zeta/inner.txt");
    ASSERT_TRUE(inner1 && inner2);
    EXPECT_EQ(inner1->blobKey, repo_->blobKeysByContents.at("z"));
    EXPECT_EQ(inner2->blobKey, repo_->blobKeysByContents.at("z changed"));
    EXPECT_EQ(catalog_->snapshotFileEntry(plan, run(plan, 1), "gone.txt"), std::nullopt);
    EXPECT_TRUE(catalog_->snapshotFileEntry(plan, run(plan, 0), "gone.txt").has_value());
  }
}

TEST_F(SnapshotQueries, FileLookupTable) {
  struct Case {
    const char* plan;
    std::size_t run;
    const char* path;
    bool found;
    bool hasBlobKey;
  } cases[] = {
      {"history", 1, "docs/file2.txt", true, true},
      {"history", 1, "/docs/file2.txt/", true, true},
      {"history", 1, "docs", true, false},        // a recorded directory: entry without blob key
      {"history", 1, "docs/deep", false, false},  // implied: no event of its own
      {"history", 1, "never.txt", false, false},
      {"checkpointed", 1, "docs/file2.txt", true, true},
      {"checkpointed", 1, "docs", false, false},  // the index holds files only
      {"checkpointed", 1, "never.txt", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.plan) + " " + c.path);
    auto entry = catalog_->snapshotFileEntry(c.plan, run(c.plan, c.run), c.path);
    ASSERT_EQ(entry.has_value(), c.found);
    if (!entry) continue;
    EXPECT_EQ(entry->kind, SnapshotKind::file);
    EXPECT_EQ(entry->blobKey.has_value(), c.hasBlobKey);
    EXPECT_EQ(entry->id, "f:" + entry->relPathNorm);
    auto snapshot = catalog_->loadSnapshot(c.plan, run(c.plan, c.run));
    std::optional<SnapshotEntry> fromSnapshot = snapshot->fileEntry(c.path);
    ASSERT_TRUE(fromSnapshot.has_value());
    EXPECT_EQ(*fromSnapshot, *entry);
  }
  auto file2 = catalog_->snapshotFileEntry("history", run("history", 1), "docs/file2.txt");
  EXPECT_EQ(file2->name, "file2.txt");
  EXPECT_EQ(file2->sizeBytes, 1);
  EXPECT_EQ(file2->modifiedAt, kT0 + 3);
  auto docs = catalog_->snapshotFileEntry("history", run("history", 1), "docs");
  EXPECT_EQ(docs->sizeBytes, 0);
}

TEST_F(SnapshotQueries, DeletionAndRecreationAcrossRuns) {
  auto x = [&](std::size_t index) { return catalog_->snapshotFileEntry("cycle", run("cycle", index), "x.txt"); };
  ASSERT_TRUE(x(0).has_value());
  EXPECT_EQ(x(0)->blobKey, repo_->blobKeysByContents.at("one"));
  EXPECT_EQ(x(1), std::nullopt);
  ASSERT_TRUE(x(2).has_value());
  EXPECT_EQ(x(2)->blobKey, repo_->blobKeysByContents.at("two"));
  EXPECT_TRUE(catalog_->listSnapshotChildren("cycle", run("cycle", 1), std::nullopt).empty());
  EXPECT_EQ(ids(catalog_->listSnapshotChildren("cycle", run("cycle", 2), std::nullopt)),
            (std::vector<std::string>{"f:x.txt"}));
}

TEST_F(SnapshotQueries, TwoEventsForOnePathInOneRunTheLaterWins) {
  std::int64_t id = run("cycle", 3);
  auto entry = catalog_->snapshotFileEntry("cycle", id, "dup.txt");
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->blobKey, repo_->blobKeysByContents.at("second"));
  auto top = catalog_->listSnapshotChildren("cycle", id, std::nullopt);
  ASSERT_EQ(ids(top), (std::vector<std::string>{"f:dup.txt", "f:x.txt"}));
  EXPECT_EQ(top[0].blobKey, repo_->blobKeysByContents.at("second"));
  EXPECT_EQ(top[0].modifiedAt, kT0 + 1);
}

TEST_F(SnapshotQueries, OnlyCompletedRunsAreRestorable) {
  EXPECT_TRUE(throwsError([&] { catalog_->listSnapshotChildren("cycle", run("cycle", 4), std::nullopt); },
                          {kBackupCatalogErrorDomain, 1,
                           "Run " + std::to_string(run("cycle", 4)) + " is failed and cannot be used for restore."}));
  EXPECT_TRUE(throwsError([&] { catalog_->snapshotFileEntry("cycle", 9999, "x.txt"); },
                          {kBackupCatalogErrorDomain, 1, "No run 9999 found for plan cycle."}));
  EXPECT_TRUE(throwsError(
      [&] { catalog_->loadSnapshot("history", run("cycle", 0)); },
      {kBackupCatalogErrorDomain, 1, "No run " + std::to_string(run("cycle", 0)) + " found for plan history."}));
  auto completed = catalog_->listRuns("cycle", false);
  auto all = catalog_->listRuns("cycle", true);
  EXPECT_EQ(completed.size(), 4u);
  ASSERT_EQ(all.size(), 5u);
  EXPECT_EQ(all.back().status, RunStatus::failed);
  for (std::size_t i = 1; i < all.size(); ++i) EXPECT_LE(all[i - 1].startedAt, all[i].startedAt);
}

TEST_F(SnapshotQueries, WithoutKeyMaterialOnlyRunsAndBlobKeysAreReadable) {
  BackupCatalog keyless = repo_->openCatalogWithoutKey();
  EXPECT_EQ(keyless.listRuns("history", false).size(), 2u);
  EXPECT_EQ(keyless.checkpointBlobKeys().size(), 1u);
  EXPECT_FALSE(keyless.referencedBlobKeys().empty());
  const std::string message = "Repository names are encrypted and require repository key material.";
  EXPECT_TRUE(throwsError([&] { keyless.listSnapshotChildren("history", 9999, std::nullopt); },
                          {kBackupCatalogErrorDomain, 1, "No run 9999 found for plan history."}));
  EXPECT_TRUE(throwsError([&] { keyless.listSnapshotChildren("history", run("history", 1), std::nullopt); },
                          {kBackupCatalogErrorDomain, 1, message}));
  EXPECT_TRUE(throwsError([&] { keyless.snapshotFileEntry("checkpointed", run("checkpointed", 1), "alpha.txt"); },
                          {kBackupCatalogErrorDomain, 1, message}));
  EXPECT_TRUE(throwsError([&] { keyless.loadSnapshot("history", run("history", 1)); },
                          {kBackupCatalogErrorDomain, 1, message}));
  EXPECT_TRUE(throwsError([&] { keyless.listRunFileEvents("history", run("history", 1)); },
                          {kBackupCatalogErrorDomain, 1, message}));
  EXPECT_TRUE(throwsError([&] { keyless.loadCurrentIndex("history"); }, {kBackupCatalogErrorDomain, 1, message}));
  BackupCatalogSnapshotIndexCache::shared().removeAll();
  EXPECT_TRUE(throwsError([&] { keyless.snapshotIndex("checkpointed", run("checkpointed", 1)); },
                          {kBackupCatalogErrorDomain, 1, "Repository checkpoints require repository key material."}));
}

TEST_F(SnapshotQueries, EventsAndCurrentIndex) {
  auto events = catalog_->listRunFileEvents("history", run("history", 1));
  std::map<std::string, std::string> operations;
  for (const auto& event : events) operations[event.relPathNorm] = event.operation;
  EXPECT_EQ(operations, (std::map<std::string, std::string>{
                            {"Zebra.txt", "copy"}, {"gone.txt", "delete"}, {"zeta/inner.txt", "replace"}}));
  auto current = catalog_->loadCurrentIndex("history");
  EXPECT_EQ(current.size(), 7u);
  EXPECT_TRUE(current.at("gone.txt").deleted);
  EXPECT_EQ(current.at("alpha.txt").createdAt, kT0 - kDay);
  EXPECT_EQ(current.at("alpha.txt").lastSeenRunID, run("history", 1));
}

TEST(SnapshotIndexTest, ManifestRules) {
  SnapshotManifest manifest;
  manifest.createdAt = kT0;
  manifest.files = {
      {"b/x.txt", "b/x.txt", "file", std::string(64, 'b'), 3, std::nullopt, kT0 + 5, std::nullopt},
      {"b", "b", "directory", std::nullopt, std::nullopt, kT0 - 9, std::nullopt,
       std::nullopt},  // undated: implied date
      {"A", "a", "directory", std::nullopt, std::nullopt, std::nullopt, kT0 + 1, std::nullopt},
      {"A/later.txt", "a/later.txt", "file", std::nullopt, std::nullopt, std::nullopt, kT0 + 50, std::nullopt},
      {"c/d/e.txt", "c/d/e.txt", "file", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
      {"", "n/only-norm", "file", std::nullopt, std::nullopt, std::nullopt, kT0, std::nullopt},
  };
  auto index = SnapshotIndex::fromManifest(manifest);
  auto top = index->children(std::nullopt);
  ASSERT_EQ(ids(top), (std::vector<std::string>{"d:a", "d:b", "d:c", "d:n"}));
  EXPECT_EQ(top[0].name, "A");
  EXPECT_EQ(top[0].modifiedAt, kT0 + 1);  // its own date, not the later file's
  EXPECT_EQ(top[1].modifiedAt, kT0 + 5);  // undated listing takes the newest file below
  EXPECT_EQ(top[1].createdAt, kT0 - 9);
  EXPECT_EQ(top[2].modifiedAt, std::nullopt);  // nothing dated below
  EXPECT_EQ(ids(index->children("c")), (std::vector<std::string>{"d:c/d"}));
  EXPECT_EQ(index->children("n").at(0).name, "only-norm");
  EXPECT_TRUE(index->fileEntry("/c/d/e.txt").has_value());
  EXPECT_EQ(index->fileEntry("c/d"), std::nullopt);
  EXPECT_EQ(index->fileCount(), 4u);
}

// The index holds entries packed (paths below their folder, display paths composed from
// their folder's, blob keys as bytes); whatever does not fit that shape comes back as given.
TEST(SnapshotIndexTest, PackedEntriesComeBackExactly) {
  const std::string lower = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
  const std::string upper = "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF";
  const std::string longName(3 << 20, 'n');  // larger than one string block
  SnapshotManifest manifest;
  manifest.createdAt = kT0;
  manifest.files = {
      {"Docs/a.txt", "docs/a.txt", "file", lower, 1, kT0, kT0, std::nullopt},
      {"DOCS/b.txt", "docs/b.txt", "file", upper, 2, std::nullopt, kT0, std::nullopt},  // other folder spelling
      {"Docs/c.txt/", "docs/c.txt", "file", std::string("short"), 0, std::nullopt, kT0, std::nullopt},
      {"/Docs/d.txt", "docs/d.txt", "file", std::nullopt, std::nullopt, std::nullopt, kT0, std::nullopt},
      {"Docs/" + longName, "docs/" + longName, "file", lower, 4, std::nullopt, kT0, std::nullopt},
      {"top.txt", "top.txt", "file", lower, 5, std::nullopt, kT0, std::nullopt},
  };
  auto index = SnapshotIndex::fromManifest(manifest);
  for (const SnapshotManifest::FileEntry& item : manifest.files) {
    SCOPED_TRACE(item.relPath.substr(0, 40));
    std::optional<SnapshotEntry> entry = index->fileEntry(item.relPathNorm);
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->relPath, item.relPath);
    EXPECT_EQ(entry->relPathNorm, item.relPathNorm);
    EXPECT_EQ(entry->id, "f:" + item.relPathNorm);
    EXPECT_EQ(entry->blobKey, item.blobKey);
    EXPECT_EQ(entry->sizeBytes, item.sizeBytes);
    EXPECT_EQ(entry->createdAt, item.createdAt);
  }
  EXPECT_EQ(index->fileEntry("docs/c.txt")->name, "c.txt");
  EXPECT_EQ(index->fileEntry("docs/d.txt")->name, "d.txt");
  EXPECT_EQ(index->fileEntry("docs/" + longName)->name, longName);
  std::vector<std::string> names;
  for (const SnapshotEntry& child : index->children("docs")) names.push_back(child.name.substr(0, 8));
  EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "b.txt", "c.txt", "d.txt", "nnnnnnnn"}));
}

// History rows: the first row of a path answers and keeps the listing's place; a folder or
// a file without size answers as its own file-kind entry.
TEST(SnapshotIndexTest, HistoryRowsRepeatedOrUnlikeTheirListing) {
  using catalog_internal::HistoryRow;
  std::vector<HistoryRow> rows = {
      {"Dir/One.txt", "dir/one.txt", "copy", std::string(64, 'a'), 1, std::nullopt, kT0},
      {"Dir/ONE.txt", "dir/one.txt", "copy", std::string(64, 'b'), 2, std::nullopt, kT0 + 1},  // repeated path
      {"Dir/Sub", "dir/sub", "mkdir", std::nullopt, std::nullopt, std::nullopt, kT0 + 2},
      {"Dir/nosize.txt", "dir/nosize.txt", "copy", std::string(64, 'c'), std::nullopt, std::nullopt, kT0},
  };
  catalog_internal::HistorySnapshotBuilder builder;
  for (const HistoryRow& row : rows) builder.add(row);
  auto index = builder.finish();
  std::vector<SnapshotEntry> children = index->children("dir");
  ASSERT_EQ(ids(children), (std::vector<std::string>{"d:dir/sub", "f:dir/nosize.txt", "f:dir/one.txt"}));
  EXPECT_EQ(children[2].relPath, "Dir/One.txt");
  EXPECT_EQ(children[1].sizeBytes, std::nullopt);
  EXPECT_EQ(index->fileEntry("dir/one.txt"), catalog_internal::historyFileEntry(rows[0]));
  EXPECT_EQ(index->fileEntry("dir/nosize.txt")->sizeBytes, 0);
  std::optional<SnapshotEntry> folder = index->fileEntry("dir/sub");
  ASSERT_TRUE(folder.has_value());
  EXPECT_EQ(folder->kind, SnapshotKind::file);
  EXPECT_EQ(index->children(std::nullopt).at(0).modifiedAt, kT0 + 2);  // newest below
  EXPECT_EQ(index->fileCount(), 3u);
}

// History rows may come in table order: fed in any order with their ranks, they give what
// feeding them by rank gives, wherever rows compete.
TEST(SnapshotIndexTest, HistoryRowsInAnyOrderGiveTheSnapshotOfTheirRankOrder) {
  using catalog_internal::HistoryRow;
  auto file = [](std::string display, std::string norm, char blob, double modified) {
    return HistoryRow{std::move(display), std::move(norm), "copy", std::string(64, blob), 1, kT0, modified};
  };
  auto folder = [](std::string display, std::string norm) {
    return HistoryRow{std::move(display), std::move(norm), "mkdir", std::nullopt, std::nullopt, std::nullopt, kT0};
  };
  // In rank order.
  std::vector<HistoryRow> rows = {
      file("Dir/One.txt", "dir/one.txt", 'a', kT0),
      file("Photos/a.jpg", "photos/a.jpg", 'b', kT0 + 1),  // names the implied folder
      file("MUSIC/x.mp3", "music/x.mp3", 'c', kT0),
      file("Dir/ONE.txt", "dir/one.txt", 'd', kT0 + 5),  // a repeat of the path: the first answers
      folder("Music", "music"),                          // its own row names it over deeper rows
      file("PHOTOS/b.jpg", "photos/b.jpg", 'e', kT0 + 9),
      folder("Docs", "docs"),
      folder("DOCS", "docs"),  // the first own row names it
      file("caf\u00e9.txt", "caf\u00e9.txt", 'f', kT0),
      file("cafe\u0301.txt", "cafe\u0301.txt", 'g', kT0),  // equal in Finder order: the first stays first
      file("A/B/C/d.txt", "a/b/c/d.txt", 'h', kT0 + 3),
      file("a/b/C/E.txt", "a/b/c/e.txt", 'i', kT0 + 4),
      folder("a/B", "a/b"),
  };
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i].rank = static_cast<std::uint32_t>(i);
  const std::vector<std::optional<std::string>> folders = {std::nullopt, "dir", "photos", "music", "docs",
                                                           "a",          "a/b", "a/b/c"};
  struct Snapshot {
    std::vector<std::vector<SnapshotEntry>> listings;
    std::vector<std::optional<SnapshotEntry>> lookups;
    std::vector<std::vector<SnapshotEntry>> children;
    bool operator==(const Snapshot&) const = default;
  };
  auto snapshotOf = [&](const std::vector<HistoryRow>& fed) {
    catalog_internal::HistorySnapshotBuilder builder;
    for (const HistoryRow& row : fed) builder.add(row);
    auto index = builder.finish();
    Snapshot snapshot;
    for (const auto& path : folders) {
      snapshot.listings.push_back(index->children(path));
      catalog_internal::HistoryChildren children(path.value_or(""));
      for (const HistoryRow& row : fed) children.add(row);
      snapshot.children.push_back(children.finish());
    }
    for (const HistoryRow& row : rows) snapshot.lookups.push_back(index->fileEntry(row.relPathNorm));
    return snapshot;
  };
  const Snapshot expected = snapshotOf(rows);
  EXPECT_EQ(expected.lookups[3]->relPath, "Dir/One.txt");
  EXPECT_EQ(ids(expected.listings[0]),
            (std::vector<std::string>{"d:a", "d:dir", "d:docs", "d:music", "d:photos", "f:caf\u00e9.txt",
                                      "f:cafe\u0301.txt"}));
  EXPECT_EQ(unicode::finderCompare("caf\u00e9.txt", "cafe\u0301.txt"), 0);  // the tie rank order breaks
  std::map<std::string, std::string> shown;
  for (const SnapshotEntry& child : expected.listings[0]) shown[child.id] = child.relPath;
  EXPECT_EQ(shown["d:photos"], "Photos");
  EXPECT_EQ(shown["d:music"], "Music");
  EXPECT_EQ(shown["d:docs"], "Docs");
  EXPECT_EQ(expected.children, expected.listings);

  std::mt19937 random(20261211);
  std::vector<HistoryRow> shuffled = rows;
  for (int round = 0; round < 50; ++round) {
    std::shuffle(shuffled.begin(), shuffled.end(), random);
    SCOPED_TRACE(round);
    EXPECT_EQ(snapshotOf(shuffled), expected);
  }
}

TEST(SnapshotManifestTest, JsonUsesSecondsSince2001AndDefaultsKindToFile) {
  SnapshotManifest manifest;
  manifest.createdAt = kSecondsFrom1970To2001 + 100.5;
  manifest.files = {
      {"a/b", "a/b", "file", std::string(64, 'f'), 7, kSecondsFrom1970To2001 + 1, kSecondsFrom1970To2001 + 2, 42}};
  nlohmann::json json = nlohmann::json::parse(manifest.toJSON());
  EXPECT_EQ(json["version"], 1);
  EXPECT_DOUBLE_EQ(json["createdAt"].get<double>(), 100.5);
  EXPECT_DOUBLE_EQ(json["files"][0]["modifiedAt"].get<double>(), 2);
  EXPECT_EQ(json["files"][0]["contentID"], 42);
  EXPECT_EQ(SnapshotManifest::fromJSON(manifest.toJSON()), manifest);

  SnapshotManifest minimal =
      SnapshotManifest::fromJSON(R"({"version":1,"createdAt":0,"files":[{"relPath":"x","relPathNorm":"x"}]})");
  EXPECT_EQ(minimal.files.at(0).kind, "file");
  EXPECT_EQ(minimal.createdAt, kSecondsFrom1970To2001);
  for (const char* bad : {"[]", "{\"version\":1,\"files\":[]}", "{\"version\":1,\"createdAt\":0,\"files\":[{}]}",
                          "{\"version\":\"1\",\"createdAt\":0,\"files\":[]}", "not json"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(SnapshotManifest::fromJSON(bad), Error);
  }
}

// The writer's pieces concatenate to the canonical text of the whole document.
TEST(SnapshotManifestTest, WrittenTextIsTheCanonicalDocument) {
  SnapshotManifest manifest;
  manifest.createdAt = kSecondsFrom1970To2001 + 0.1;
  manifest.files = {{"Dossier/Été ①.txt", "dossier/été ①.txt", "file", std::string(64, 'a'), INT64_MAX,
                     kSecondsFrom1970To2001 - 1e9, kSecondsFrom1970To2001 + 1.25, -3},
                    {"a\"b\\c", "a\"b\\c", "directory", std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                     std::nullopt}};
  nlohmann::json files = nlohmann::json::array();
  for (const auto& entry : manifest.files) {
    nlohmann::json item = {{"relPath", entry.relPath}, {"relPathNorm", entry.relPathNorm}, {"kind", entry.kind}};
    if (entry.blobKey) item["blobKey"] = *entry.blobKey;
    if (entry.sizeBytes) item["sizeBytes"] = *entry.sizeBytes;
    if (entry.createdAt) item["createdAt"] = *entry.createdAt - kSecondsFrom1970To2001;
    if (entry.modifiedAt) item["modifiedAt"] = *entry.modifiedAt - kSecondsFrom1970To2001;
    if (entry.contentID) item["contentID"] = *entry.contentID;
    files.push_back(item);
  }
  nlohmann::json document = {{"version", 1}, {"createdAt", manifest.createdAt - kSecondsFrom1970To2001}, {"files", files}};
  EXPECT_EQ(manifest.toJSON(), canonicalJsonString(document));
  SnapshotManifest empty;
  EXPECT_EQ(empty.toJSON(), canonicalJsonString({{"version", 1}, {"createdAt", -kSecondsFrom1970To2001},
                                                  {"files", nlohmann::json::array()}}));
}

TEST(SnapshotManifestTest, StreamedDecodingMatchesTheWholeTextAndReportsTheProducersError) {
  SnapshotManifest manifest;
  manifest.createdAt = kT0;
  manifest.files = {{"A/b.txt", "a/b.txt", "file", std::string(64, 'a'), 3, kT0, kT0 + 1, 9},
                    {"A", "a", "directory", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
                    {"c.txt", "c.txt", "file", std::string(64, 'c'), 0, std::nullopt, kT0, std::nullopt}};
  const std::string json = manifest.toJSON();
  auto byteByByte = [](std::string text, std::function<void()> after = {}) {
    return [text, after](const SnapshotManifest::TextSink& sink) {
      for (char c : text) sink(&c, 1);
      if (after) after();
    };
  };
  auto keepAll = [](const SnapshotManifest::FileEntry&) { return true; };
  EXPECT_EQ(SnapshotManifest::decodeStreamed(byteByByte(json), keepAll), manifest);
  SnapshotManifest files = SnapshotManifest::decodeStreamed(
      byteByByte(json), [](const SnapshotManifest::FileEntry& entry) { return entry.kind == "file"; });
  EXPECT_EQ(files.files.size(), 2u);
  EXPECT_EQ(files.createdAt, manifest.createdAt);
  // The same problems, in the same order, as the decoder of the whole text.
  for (const char* bad : {"[]", "{\"files\":[{}],\"createdAt\":0}", "{\"version\":1,\"createdAt\":0,\"files\":[{}]}",
                          "{\"version\":1,\"createdAt\":0,\"files\":[1,{}]} x", "{\"version\":1,\"createdAt\":0,"
                          "\"files\":[{}],\"files\":[]}"}) {
    SCOPED_TRACE(bad);
    std::string whole, streamed;
    try {
      SnapshotManifest::fromJSON(bad);
    } catch (const Error& error) {
      whole = error.message();
    }
    try {
      SnapshotManifest::decodeStreamed(byteByByte(bad), keepAll);
    } catch (const Error& error) {
      streamed = error.message();
    }
    EXPECT_EQ(streamed, whole);
  }
  // A producer that fails after text that does not parse: its error is the one reported.
  EXPECT_TRUE(throwsError(
      [&] {
        SnapshotManifest::decodeStreamed(byteByByte("{oops", [] { throw Error("Cipher", 7, "bad tag"); }), keepAll);
      },
      {"Cipher", 7, "bad tag"}));
}

// The snapshot queries stream the plan's events in index order: no temporary B-tree sorts
// every event of the plan on each call.
TEST(SnapshotHistoryTest, TheLatestEventQueryStreamsInIndexOrder) {
  TempDir temp;
  RepositorySpec spec;
  spec.plans.push_back({"p", "P", {TestRun{.files = {{"a/b.txt", "b"}}}}});
  BuiltRepository repo = buildRepository(temp.path(), spec);
  RawDatabase raw(repo.root / BackupCatalog::kCatalogFileName);
  for (const char* scope : {catalog_internal::kSnapshotScope, catalog_internal::kSnapshotPathScope}) {
    SCOPED_TRACE(scope);
    std::string plan;
    for (const std::string& row : raw.rows("EXPLAIN QUERY PLAN " + catalog_internal::latestEventsSQL(scope))) {
      plan += row + "\n";
    }
    EXPECT_NE(plan.find("idx_file_events_plan_norm_run"), std::string::npos) << plan;
    EXPECT_EQ(plan.find("TEMP B-TREE"), std::string::npos) << plan;
  }
}

// Without a cached index, one folder's listing and one path's lookup read only the manifest
// entries at and below it; the answers must be those of the whole index.
TEST(SnapshotIndexTest, OnePathAnswersFromTheManifestMatchTheWholeIndex) {
  TempDir temp;
  RepositorySpec spec;
  spec.plans.push_back({"p", "P", {TestRun{.files = {{"x.txt", "x"}}, .checkpoint = true}}});
  BuiltRepository repo = buildRepository(temp.path(), spec);
  const std::int64_t run = repo.runIDs.at("p")[0];
  SnapshotManifest manifest;
  manifest.createdAt = kT0;
  manifest.files = {
      {"B/x.txt", "b/x.txt", "file", std::string(64, 'b'), 3, std::nullopt, kT0 + 5, std::nullopt},
      {"b", "b", "directory", std::nullopt, std::nullopt, kT0 - 9, std::nullopt, std::nullopt},
      {"Deep/er/e.txt", "deep/er/e.txt", "file", std::string(64, 'e'), 1, std::nullopt, kT0 + 7, std::nullopt},
      {"deep/Er/f.txt", "deep/er/f.txt", "file", std::string(64, 'f'), 1, std::nullopt, kT0 + 2, std::nullopt},
      // An undated file with entries below it takes their newest date.
      {"deep", "deep", "file", std::string(64, 'd'), 1, std::nullopt, std::nullopt, std::nullopt},
      {"/deep/er/", "deep/er/", "file", std::string(64, '1'), 4, std::nullopt, kT0, std::nullopt},
      {"deep/er/", "/deep/er", "file", std::string(64, '2'), 5, std::nullopt, kT0, std::nullopt},  // later wins
      {"b/x.txt.d/y", "b/x.txt.d/y", "file", std::string(64, 'y'), 1, std::nullopt, kT0 + 1, std::nullopt},
  };
  const std::string json = manifest.toJSON();
  const Bytes sealed = EncryptedBlobCodec(repo.keyMaterial).seal(bytesOf(json));
  const std::string key = BackupCatalogBlobStore::blobKey(sealed);
  BackupCatalogBlobStore::writeBlobIfNeeded(sealed, key, repo.root);
  {
    RawDatabase raw(repo.root / BackupCatalog::kCatalogFileName);
    raw.rows("UPDATE checkpoints SET manifest_blob_key = '" + key + "';");
  }
  auto whole = SnapshotIndex::fromManifest(manifest);
  BackupCatalog catalog = repo.openCatalog();
  auto& cache = BackupCatalogSnapshotIndexCache::shared();
  for (const std::string& directory : whole->directories()) {
    if (directory.empty()) continue;  // the top level reads the whole index
    SCOPED_TRACE(directory);
    cache.removeAll();
    EXPECT_EQ(catalog.listSnapshotChildren("p", run, directory), whole->children(directory));
    EXPECT_EQ(cache.count(), 0u);
  }
  for (const char* path : {"deep", "deep/er", "/deep/er/", "b/x.txt", "b", "deep/er/e.txt", "missing", ""}) {
    SCOPED_TRACE(path);
    cache.removeAll();
    std::optional<SnapshotEntry> found = catalog.snapshotFileEntry("p", run, path);
    EXPECT_EQ(found, whole->fileEntry(path));
  }
  EXPECT_EQ(catalog.snapshotFileEntry("p", run, "deep")->modifiedAt, kT0 + 7);
  cache.removeAll();
}

TEST(SnapshotManifestTest, IntegersOutsideInt64AreRefusedNotConverted) {
  auto withSize = [](const std::string& size) {
    return R"({"version":1,"createdAt":0,"files":[{"relPath":"x","relPathNorm":"x","sizeBytes":)" + size + "}]}";
  };
  EXPECT_EQ(SnapshotManifest::fromJSON(withSize("9223372036854775807")).files.at(0).sizeBytes, INT64_MAX);
  EXPECT_EQ(SnapshotManifest::fromJSON(withSize("3.0")).files.at(0).sizeBytes, 3);
  struct Case {
    const char* size;
    const char* problem;
  } cases[] = {{"9223372036854775808", "is out of range"},
               {"18446744073709551615", "is out of range"},
               {"1e19", "is out of range"},
               {"-1e300", "is out of range"},
               {"1.5", "is not an integer"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    try {
      SnapshotManifest::fromJSON(withSize(c.size));
      ADD_FAILURE() << "decoded";
    } catch (const Error& error) {
      EXPECT_EQ(error.domain(), "SnapshotManifest");
      EXPECT_EQ(error.message(),
                std::string("Checkpoint manifest could not be decoded: key files[0].sizeBytes ") + c.problem + ".");
    }
  }
}

TEST(SnapshotIndexCacheTest, KeepsTheEightMostRecentAndTheFirstStoredWins) {
  auto& cache = BackupCatalogSnapshotIndexCache::shared();
  cache.removeAll();
  auto make = [] {
    return std::make_shared<const SnapshotIndex>();
  };
  auto first = cache.insertIfAbsent("k0", make());
  for (int i = 1; i < 8; ++i) cache.insertIfAbsent("k" + std::to_string(i), make());
  EXPECT_EQ(cache.get("k0"), first);  // now the most recent
  cache.insertIfAbsent("k8", make());
  EXPECT_EQ(cache.count(), 8u);
  EXPECT_EQ(cache.get("k1"), nullptr);
  EXPECT_EQ(cache.get("k0"), first);

  std::vector<std::shared_ptr<const SnapshotIndex>> results(8);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] { results[t] = cache.insertIfAbsent("shared", make()); });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& result : results) EXPECT_EQ(result, results[0]);
  cache.removeAll();
}

// The manifest as the checkpoint writer composes it from the catalog's entries: the recorded
// directories (the first per path), the ancestors of the files that no directory records, in
// file order, then the files.
SnapshotManifest composedManifest(BackupCatalog& catalog, const PlanID& plan, std::int64_t run, double createdAt) {
  SnapshotManifest manifest;
  manifest.createdAt = createdAt;
  std::set<std::string> seen;
  for (const auto& directory : catalog.snapshotDirectoryEntries(plan, run)) {
    if (seen.insert(directory.relPathNorm).second) manifest.files.push_back(directory);
  }
  const std::vector<SnapshotManifest::FileEntry> files = catalog.snapshotFileManifestEntries(plan, run);
  for (const auto& file : files) {
    catalog_internal::forEachAncestorDirectory(file.relPathNorm, file.relPath,
                                               [&](const std::string& norm, const std::string& display) {
                                                 if (seen.insert(norm).second)
                                                   manifest.files.push_back({display, norm, "directory"});
                                               });
  }
  manifest.files.insert(manifest.files.end(), files.begin(), files.end());
  return manifest;
}

// Streamed in batches, measured and then written, the checkpoint's text is still exactly the
// composed manifest: recorded, implied and accented folders, replaced and deleted files, and
// enough entries for several batches of paths and several sealed chunks.
TEST(CheckpointWriterTest, ManifestIsTheComposedTextOfTheSnapshot) {
  TempDir temp;
  TestRun first{.files = {{"\u00c9t\u00e9/Photos/Ste\u0301phane.JPG", "img"},
                          {"\u00c9t\u00e9/Photos/b.txt", "b"},
                          {"\u00c9t\u00e9/Docs/a.txt", "a"},
                          {"top.txt", "top"},
                          {"Zeta/Deep/er/leaf.bin", "leaf"},
                          {"gone.txt", "bye"}},
                .directories = {{"\u00c9t\u00e9"}, {"Empty"}, {"Zeta/Deep"}},
                .caseInsensitive = true};
  for (int i = 0; i < 5000; ++i) {
    const std::string path =
        "Bulk " + std::to_string(i % 37) + "/Sub " + std::to_string(i % 5) + "/F" + std::to_string(i) + ".txt";
    first.extraEvents.push_back(
        {path, std::nullopt, "copy", std::nullopt, std::string(64, 'b'), i, std::nullopt, kT0 + i});
  }
  TestRun second = first;
  second.extraEvents.clear();
  second.files.pop_back();  // gone.txt deleted
  second.files[1].contents = "b changed";
  second.files[3].modifiedAt = kT0 + 7;
  second.checkpoint = true;
  RepositorySpec spec;
  spec.plans.push_back({"p", "P", {first, second}});
  BuiltRepository repo = buildRepository(temp.path(), spec);
  const std::int64_t run = repo.runIDs.at("p")[1];

  double now = 1000;
  BackupCatalog catalog(repo.root, repo.keyMaterial, BackupCatalog::OpenMode::readWrite, [&] { return now += 1; });
  const std::optional<std::string> previous = catalog.selectCheckpointBlobKey("p", run);
  const std::string key = catalog.writeSnapshotCheckpoint("p", run);
  EXPECT_EQ(catalog.selectCheckpointBlobKey("p", run), key);
  const Bytes blob = readFileBytes(repo.blobPath(key));
  EXPECT_EQ(BackupCatalogBlobStore::blobKey(blob), key);
  const std::string text = stringOf(EncryptedBlobCodec(repo.keyMaterial).open(blob));
  const SnapshotManifest expected = composedManifest(catalog, "p", run, 1001);
  EXPECT_EQ(text, expected.toJSON());
  EXPECT_GT(text.size(), EncryptedBlobCodec::chunkSize);

  std::vector<std::string> directories;
  for (const auto& entry : expected.files) {
    if (entry.kind == "directory") directories.push_back(entry.relPath);
  }
  ASSERT_EQ(directories.size(), 3u + 4 + 37 + 37 * 5);
  std::sort(directories.begin(), directories.begin() + 3);
  EXPECT_EQ(std::vector<std::string>(directories.begin(), directories.begin() + 3),
            (std::vector<std::string>{"Empty", "Zeta/Deep", "\u00c9t\u00e9"}));
  EXPECT_EQ(expected.files.at(directories.size()).kind, "file");
  EXPECT_EQ(expected.files.size(), directories.size() + 5 + 5000);

  ASSERT_TRUE(previous);
  EXPECT_FALSE(fs::exists(repo.blobPath(*previous)));
  EXPECT_EQ(test::temporaryFilesBelow(repo.root), std::vector<std::string>{});
}

TEST(SnapshotCaseInsensitiveTest, NamesComeFromTheDisplayPath) {
  TempDir temp;
  RepositorySpec spec;
  std::string display = "Photos/Ste\u0301phane.JPG";
  spec.plans.push_back({"p",
                        "P",
                        {TestRun{.files = {{display, "img"}}, .caseInsensitive = true},
                         TestRun{.files = {{display, "img"}}, .checkpoint = true, .caseInsensitive = true}}});
  BuiltRepository repo = buildRepository(temp.path(), spec);
  BackupCatalog catalog = repo.openCatalog();
  for (std::int64_t id : repo.runIDs.at("p")) {
    auto top = catalog.listSnapshotChildren("p", id, std::nullopt);
    ASSERT_EQ(ids(top), (std::vector<std::string>{"d:photos"}));
    EXPECT_EQ(top[0].name, "Photos");
    auto inside = catalog.listSnapshotChildren("p", id, "photos");
    ASSERT_EQ(inside.size(), 1u);
    EXPECT_EQ(inside[0].relPathNorm, "photos/st\u00e9phane.jpg");
    EXPECT_EQ(inside[0].name, "Ste\u0301phane.JPG");
    EXPECT_EQ(inside[0].relPath, display);
  }
  // The second run saw the file unchanged: no new event, still listed.
  EXPECT_TRUE(catalog.listRunFileEvents("p", repo.runIDs.at("p")[1]).empty());
}

}  // namespace
}  // namespace tvr
