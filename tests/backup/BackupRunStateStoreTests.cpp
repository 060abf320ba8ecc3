#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "engine/backup/BackupRunStateStore.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "tests/support/RepositoryBuilder.h"
#include "tests/support/TempDir.h"

namespace tvr {
namespace {

namespace fs = std::filesystem;
using Store = BackupRunStateStore;

class RunStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/tvr-runstate-XXXXXX";
    root_ = mkdtemp(templ);
  }
  void TearDown() override { fs::remove_all(root_); }

  void writeJournal(const std::string& text) {
    fs::create_directories(root_ / "run-state");
    std::ofstream(Store::journalURL(root_, plan_), std::ios::binary) << text;
  }

  fs::path root_;
  PlanID plan_{"plan"};
};

TEST_F(RunStateTest, EncodesRecordsCompactWithSortedKeysAndNoAbsentMembers) {
  Store::Record record = Store::Record::started("A1B2", "plan", 1775030400, 3);
  EXPECT_EQ(Store::encodeRecord(record),
            R"({"kind":"started","planID":"plan","runUUID":"A1B2","startedAt":"2026-04-01T08:00:00Z",)"
            R"("totalOperations":3,"updatedAt":"2026-04-01T08:00:00Z"})");
  Store::Record completed;
  completed.kind = Store::RecordKind::completed;
  completed.updatedAt = 1775030460;
  completed.completedOperation = Store::CompletedOperation{"a/b.txt", "copy", "ab12", "written"};
  EXPECT_EQ(Store::encodeRecord(completed),
            R"({"completedOperation":{"blobKey":"ab12","blobStatus":"written","kind":"copy","relPath":"a\/b.txt"},)"
            R"("kind":"completed","updatedAt":"2026-04-01T08:01:00Z"})");
}

TEST_F(RunStateTest, FoldsAttemptsAndToleratesOnlyATornLastLine) {
  Store::writeInitial(Store::Record::started("U1", plan_, 100, 5), root_, plan_);
  Store::recordCompleted(root_, plan_, "a.txt", "copy", std::string("k1"),
                         RepositoryObjectWriteResult::Status::written);
  Store::append(Store::Record::started("U2", plan_, 200, 7), root_, plan_);
  Store::recordCompleted(root_, plan_, "b.txt", "copy", std::string("k2"),
                         RepositoryObjectWriteResult::Status::skippedExisting);
  Store::recordCompleted(root_, plan_, "dir", "mkdir", std::nullopt, std::nullopt);

  Store::State state = Store::load(root_, plan_);
  EXPECT_EQ(state.runUUIDs, (std::vector<std::string>{"U1", "U2"}));
  EXPECT_EQ(state.runUUID, "U2");
  EXPECT_EQ(state.startedAt, 100);
  EXPECT_EQ(state.totalOperations, 7);
  ASSERT_EQ(state.completedOperations.size(), 3u);
  EXPECT_EQ(state.completedOperations[1], (Store::CompletedOperation{"b.txt", "copy", "k2", "skippedExisting"}));
  EXPECT_EQ(state.completedOperations[2], (Store::CompletedOperation{"dir", "mkdir", std::nullopt, std::nullopt}));
  EXPECT_EQ(Store::activeRunUUID(root_, plan_), "U2");
  EXPECT_EQ(Store::partialRunSnapshot(root_, plan_).completedOperationCount, 3);

  std::string text = stringOf(readFileBytes(Store::journalURL(root_, plan_)));
  writeJournal(text + R"({"kind":"completed","upda)");
  EXPECT_EQ(Store::load(root_, plan_).completedOperations.size(), 3u);

  // The same damage on an earlier line is an error.
  writeJournal(R"({"kind":"completed","upda)"
               "\n" +
               text);
  EXPECT_ANY_THROW(Store::load(root_, plan_));
}

TEST_F(RunStateTest, RejectsJournalsWithoutStartOrValidText) {
  struct Case {
    const char* name;
    std::string text;
    std::string message;
  } cases[] = {
      {"only completed records",
       R"({"completedOperation":{"kind":"copy","relPath":"a"},"kind":"completed","updatedAt":"2026-04-01T08:00:00Z"})"
       "\n",
       "Run state is missing its start record."},
      {"empty file", "", "Run state is missing its start record."},
      {"invalid UTF-8", std::string("\xff\xfe\n"), "Run state is not valid UTF-8."},
      // Damage before the last line is the store's own error, not the JSON library's.
      {"damaged line before the last",
       "{\"kind\":\"completed\",\"upda\n" + Store::encodeRecord(Store::Record::started("U1", plan_, 100, 5)) + "\n",
       "Run state record is not valid JSON."},
      {"number out of range before the last",
       "{\"kind\":\"started\",\"totalOperations\":1e400}\n" +
           Store::encodeRecord(Store::Record::started("U1", plan_, 100, 5)) + "\n",
       "Run state record is not valid JSON."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeJournal(c.text);
    try {
      Store::load(root_, plan_);
      ADD_FAILURE() << "loaded";
    } catch (const Error& e) {
      EXPECT_EQ(e.domain(), "BackupRunStateStore");
      EXPECT_EQ(e.message(), c.message);
    }
  }
}

TEST_F(RunStateTest, SafePlanFileNamesKeepLettersOfAnyScript) {
  EXPECT_EQ(Store::safePlanFileName("my plan/2"), "my_plan_2");
  EXPECT_EQ(Store::safePlanFileName("Éte-été_1.x:y|z"), "Éte-été_1.x_y_z");
  EXPECT_EQ(Store::safePlanFileName(".."), "__");
  EXPECT_EQ(Store::journalURL(root_, "a b"), root_ / "run-state" / "a_b.jsonl");
}

TEST_F(RunStateTest, ClearRemovesTheJournalAndIsQuietWhenAbsent) {
  EXPECT_FALSE(Store::exists(root_, plan_));
  Store::writeInitial(Store::Record::started("U1", plan_, 100, 1), root_, plan_);
  EXPECT_TRUE(Store::exists(root_, plan_));
  Store::clear(root_, plan_);
  EXPECT_FALSE(Store::exists(root_, plan_));
  EXPECT_NO_THROW(Store::clear(root_, plan_));
}

// A partial run: the journal names blobs it wrote; the catalog references some of them.
TEST(RunStatePartialRun, NamesOnlyUnreferencedWrittenBlobsAndCleansUp) {
  test_support::TempDir temp;
  test_support::RepositorySpec spec;
  spec.iterations = 210000;
  spec.plans.push_back({"plan", "Plan", {test_support::TestRun{.files = {{"kept.txt", "kept"}}}}});
  test_support::BuiltRepository repo = test_support::buildRepository(temp.path(), spec);
  const std::string referenced = repo.blobKeysByContents.at("kept");
  const std::string orphanA(64, 'a');
  const std::string orphanB = "b" + std::string(63, '0');

  // The interrupted attempt: started in the catalog and in the journal.
  std::string uuid = "0A0B0C0D-0000-4000-8000-000000000001";
  {
    BackupCatalog catalog = repo.openCatalog(BackupCatalog::OpenMode::readWrite);
    catalog.beginRun(uuid, "plan", "/src", "/dst", false, "hmac-sha256", std::nullopt, std::nullopt, std::nullopt);
  }
  const PlanID plan("plan");
  Store::writeInitial(Store::Record::started(uuid, plan, 100, 4), repo.root, plan);
  using Status = RepositoryObjectWriteResult::Status;
  Store::recordCompleted(repo.root, plan, "a", "copy", orphanA, Status::written);
  Store::recordCompleted(repo.root, plan, "kept.txt", "copy", referenced, Status::written);
  Store::recordCompleted(repo.root, plan, "b", "copy", orphanB, Status::skippedExisting);
  Store::recordCompleted(repo.root, plan, "a2", "copy", orphanA, Status::written);
  Store::recordCompleted(repo.root, plan, "c", "replace", orphanB, Status::written);

  std::vector<RepositoryObjectKey> keys = Store::remoteObjectKeysWrittenDuringPartialRun(repo.root, plan);
  EXPECT_EQ(keys, (std::vector<RepositoryObjectKey>{RepositoryObjectKey("blobs/aa/" + orphanA),
                                                    RepositoryObjectKey("blobs/b0/" + orphanB)}));

  fs::create_directories(repo.root / ".upload-staging");
  std::ofstream(repo.root / ".upload-staging" / (orphanA + ".blob")) << "staged";
  Store::clearPartialRun(repo.root, plan);
  EXPECT_FALSE(Store::exists(repo.root, plan));
  EXPECT_FALSE(fs::exists(repo.root / ".upload-staging"));
  BackupCatalog catalog = repo.openCatalog();
  std::vector<RunInfo> runs = catalog.listRuns(plan, true);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].runUUID, repo.runUUIDs.at("plan")[0]);
}

}  // namespace
}  // namespace tvr
