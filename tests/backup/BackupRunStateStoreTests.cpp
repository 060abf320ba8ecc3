#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "engine/backup/BackupRunJournal.h"
#include "engine/backup/BackupRunStateStore.h"
#include "engine/storage/LocalRepositoryStorageBackend.h"
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
  void writeJournal(const std::string& text) {
    fs::create_directories(root_ / "run-state");
    std::ofstream(Store::journalURL(root_, plan_), std::ios::binary) << text;
  }

  test::TempDir temp_;
  fs::path root_ = temp_.path();
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

TEST_F(RunStateTest, FoldsAttemptsAndToleratesOnlyATornLineWhereACrashLeavesOne) {
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

  // The same damage inside an attempt (a record follows that is not a new start) is the
  // journal's own error, never a library one.
  const std::size_t firstLineEnd = text.find('\n') + 1;
  writeJournal(text.substr(0, firstLineEnd) + R"({"kind":"completed","upda)" + "\n" + text.substr(firstLineEnd));
  try {
    Store::load(root_, plan_);
    ADD_FAILURE() << "loaded";
  } catch (const Error& e) {
    EXPECT_EQ(e.domain(), "BackupRunStateStore");
    EXPECT_EQ(e.message(), "Run state record is not valid JSON.");
  }
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
      {"invalid UTF-8 before a completed record",
       std::string("\xff\xfe\n") +
           R"({"completedOperation":{"kind":"copy","relPath":"a"},"kind":"completed","updatedAt":"2026-04-01T08:00:00Z"})"
           "\n",
       "Run state is not valid UTF-8."},
      // A number beyond a double inside an attempt is the store's own error, not the library's.
      {"number out of range before a completed record",
       Store::encodeRecord(Store::Record::started("U1", plan_, 100, 5)) + "\n" +
           "{\"kind\":\"completed\",\"totalOperations\":1e400}\n" +
           R"({"completedOperation":{"kind":"copy","relPath":"a"},"kind":"completed","updatedAt":"2026-04-01T08:00:00Z"})"
           "\n",
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

// Every member is checked for its type where it is present: a null is a bad value, not an
// absent one. The damaged record sits inside an attempt, so its error is not forgiven.
TEST_F(RunStateTest, RecordMembersOfTheWrongShapeAreTheStoresOwnErrors) {
  struct Case {
    const char* record;
    const char* message;
  } cases[] = {
      {R"([])", "Run state record is not an object."},
      {R"("started")", "Run state record is not an object."},
      {R"({"updatedAt":"2026-04-01T08:00:00Z"})", "Run state record has a bad kind."},
      {R"({"kind":null,"updatedAt":"2026-04-01T08:00:00Z"})", "Run state record has a bad kind."},
      {R"({"kind":"paused","updatedAt":"2026-04-01T08:00:00Z"})", "Run state record has a bad kind."},
      {R"({"kind":"completed"})", "Run state record has no updatedAt."},
      {R"({"kind":"completed","updatedAt":null})", "Run state record has a bad updatedAt."},
      {R"({"kind":"completed","updatedAt":"2026-04-01 08:00:00"})", "Run state record has a bad updatedAt."},
      {R"({"kind":"started","startedAt":5,"updatedAt":"2026-04-01T08:00:00Z"})",
       "Run state record has a bad startedAt."},
      {R"({"kind":"started","runUUID":null,"updatedAt":"2026-04-01T08:00:00Z"})",
       "Run state record has a bad runUUID."},
      {R"({"kind":"started","planID":7,"updatedAt":"2026-04-01T08:00:00Z"})", "Run state record has a bad planID."},
      {R"({"kind":"started","totalOperations":1.5,"updatedAt":"2026-04-01T08:00:00Z"})",
       "Run state record has a bad totalOperations."},
      {R"({"kind":"started","totalOperations":9223372036854775808,"updatedAt":"2026-04-01T08:00:00Z"})",
       "Run state record has a bad totalOperations."},
      {R"({"kind":"started","totalOperations":null,"updatedAt":"2026-04-01T08:00:00Z"})",
       "Run state record has a bad totalOperations."},
      {R"({"completedOperation":[],"kind":"completed","updatedAt":"2026-04-01T08:00:00Z"})",
       "Run state record has a bad completedOperation."},
      {R"({"completedOperation":{"kind":"copy"},"kind":"completed","updatedAt":"2026-04-01T08:00:00Z"})",
       "Completed operation has no relPath."},
      {R"({"completedOperation":{"relPath":"a"},"kind":"completed","updatedAt":"2026-04-01T08:00:00Z"})",
       "Completed operation has no kind."},
      {R"({"completedOperation":{"kind":"copy","relPath":1},"kind":"completed","updatedAt":"2026-04-01T08:00:00Z"})",
       "Completed operation has a bad relPath."},
      {R"({"completedOperation":{"blobKey":null,"kind":"copy","relPath":"a"},"kind":"completed","updatedAt":"2026-04-01T08:00:00Z"})",
       "Completed operation has a bad blobKey."},
  };
  const std::string start = Store::encodeRecord(Store::Record::started("U1", plan_, 100, 5)) + "\n";
  const std::string after =
      R"({"completedOperation":{"kind":"copy","relPath":"b"},"kind":"completed","updatedAt":"2026-04-01T08:00:00Z"})"
      "\n";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.record);
    writeJournal(start + c.record + "\n" + after);
    try {
      Store::load(root_, plan_);
      ADD_FAILURE() << "loaded";
    } catch (const Error& e) {
      EXPECT_EQ(e.domain(), "BackupRunStateStore");
      EXPECT_EQ(e.code(), 1);
      EXPECT_EQ(e.message(), c.message);
    }
  }
  // The largest count and absent optional members decode.
  writeJournal(start +
               R"({"kind":"started","runUUID":"U2","planID":"plan","startedAt":"2026-04-01T08:00:00Z",)"
               R"("totalOperations":9223372036854775807,"updatedAt":"2026-04-01T08:00:00Z"})"
               "\n" +
               after);
  const Store::State state = Store::load(root_, plan_);
  EXPECT_EQ(state.totalOperations, 9223372036854775807);
  EXPECT_EQ(state.runUUID, "U2");
  ASSERT_EQ(state.completedOperations.size(), 1u);
  EXPECT_FALSE(state.completedOperations[0].blobKey.has_value());
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
  test::TempDir temp;
  test::RepositorySpec spec;
  spec.iterations = 210000;
  spec.plans.push_back({"plan", "Plan", {test::TestRun{.files = {{"kept.txt", "kept"}}}}});
  test::BuiltRepository repo = test::buildRepository(temp.path(), spec);
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

// A crash tears the last line; the next attempt appends after it; that attempt crashes too.
// Both attempts' blobs are found (including the one a torn record still names) and deleted.
TEST(RunStatePartialRun, SurvivesATornLineAndASecondAttemptThenCleansUpBoth) {
  test::TempDir temp;
  test::RepositorySpec spec;
  spec.iterations = 210000;
  spec.plans.push_back({"plan", "Plan", {test::TestRun{.files = {{"kept.txt", "kept"}}}}});
  test::BuiltRepository repo = test::buildRepository(temp.path(), spec);
  const PlanID plan("plan");
  const fs::path journal = Store::journalURL(repo.root, plan);
  auto blobFile = [&](char c) { return repo.root / "blobs" / std::string(2, c) / std::string(64, c); };
  auto tearLastLine = [&](std::size_t keep) {
    std::string text = stringOf(readFileBytes(journal));
    std::size_t start = text.rfind('\n', text.size() - 2) + 1;
    fs::resize_file(journal, start + keep);
  };
  using Status = RepositoryObjectWriteResult::Status;
  const std::string u1 = "0A0B0C0D-0000-4000-8000-000000000001", u2 = "0A0B0C0D-0000-4000-8000-000000000002";
  {
    BackupCatalog catalog = repo.openCatalog(BackupCatalog::OpenMode::readWrite);
    catalog.beginRun(u1, plan, "/src", "/dst", false, "hmac-sha256", std::nullopt, std::nullopt, std::nullopt);
    catalog.beginRun(u2, plan, "/src", "/dst", false, "hmac-sha256", std::nullopt, std::nullopt, std::nullopt);
  }
  for (char c : {'a', 'b', 'c', 'd', 'e'}) {
    fs::create_directories(blobFile(c).parent_path());
    std::ofstream(blobFile(c)) << "sealed";
  }

  // Attempt 1 stores a, b and c; the record of c is torn after its blob key.
  Store::writeInitial(Store::Record::started(u1, plan, 100, 3), repo.root, plan);
  Store::recordCompleted(repo.root, plan, "a", "copy", std::string(64, 'a'), Status::written);
  Store::recordCompleted(repo.root, plan, "b", "copy", std::string(64, 'b'), Status::written);
  Store::recordCompleted(repo.root, plan, "c", "copy", std::string(64, 'c'), Status::written);
  tearLastLine(120);
  // Attempt 2 (through the grouped journal) stores d and e; its last record is torn early.
  {
    BackupRunJournal attempt(repo.root, plan, Store::Record::started(u2, plan, 200, 2));
    attempt.recordCompleted("d", "copy", std::string(64, 'd'), Status::written);
    attempt.recordCompleted("e", "copy", std::string(64, 'e'), Status::written);
  }
  tearLastLine(30);

  Store::State state = Store::load(repo.root, plan);
  EXPECT_EQ(state.runUUIDs, (std::vector<std::string>{u1, u2}));
  EXPECT_EQ(state.totalOperations, 2);
  ASSERT_EQ(state.completedOperations.size(), 3u);  // a, b, d
  EXPECT_EQ(state.completedOperations[2].relPath, "d");
  EXPECT_EQ(state.tornRecordBlobKeys, (std::vector<std::string>{std::string(64, 'c')}));

  LocalRepositoryStorageBackend backend(repo.root);
  EXPECT_EQ(Store::deleteRemoteObjectsForPartialRun(repo.root, plan, backend), 4);
  for (char c : {'a', 'b', 'c', 'd'}) EXPECT_FALSE(fs::exists(blobFile(c))) << c;
  // e's record was torn before its key: that blob is left for verify to report as an orphan.
  EXPECT_TRUE(fs::exists(blobFile('e')));
  Store::clearPartialRun(repo.root, plan);
  EXPECT_FALSE(Store::exists(repo.root, plan));
  EXPECT_EQ(repo.openCatalog().listRuns(plan, true).size(), 1u);
}

TEST_F(RunStateTest, AppendEndsATornLineAndLoadSkipsItBeforeTheNextAttempt) {
  Store::writeInitial(Store::Record::started("U1", plan_, 100, 5), root_, plan_);
  // Torn inside a two-byte character: not valid UTF-8 either.
  std::string text = stringOf(readFileBytes(Store::journalURL(root_, plan_)));
  writeJournal(text + "{\"completedOperation\":{\"kind\":\"copy\",\"relPath\":\"\xc3");
  Store::writeInitial(Store::Record::started("U2", plan_, 200, 7), root_, plan_);
  Store::recordCompleted(root_, plan_, "b", "copy", std::nullopt, std::nullopt);
  std::string repaired = stringOf(readFileBytes(Store::journalURL(root_, plan_)));
  EXPECT_NE(repaired.find("\"relPath\":\"\xc3\n{\"kind\":\"started\""), std::string::npos);
  Store::State state = Store::load(root_, plan_);
  EXPECT_EQ(state.runUUIDs, (std::vector<std::string>{"U1", "U2"}));
  EXPECT_EQ(state.completedOperations.size(), 1u);
}

TEST(RunStatePartialRun, AnUnreadableJournalStopsTheCleanupBeforeAnythingIsRemoved) {
  test::TempDir temp;
  test::RepositorySpec spec;
  spec.iterations = 210000;
  spec.plans.push_back({"plan", "Plan", {test::TestRun{.files = {{"kept.txt", "kept"}}}}});
  test::BuiltRepository repo = test::buildRepository(temp.path(), spec);
  const PlanID plan("plan");
  const std::string uuid = "0A0B0C0D-0000-4000-8000-000000000001";
  repo.openCatalog(BackupCatalog::OpenMode::readWrite)
      .beginRun(uuid, plan, "/src", "/dst", false, "hmac-sha256", std::nullopt, std::nullopt, std::nullopt);
  Store::writeInitial(Store::Record::started(uuid, plan, 100, 1), repo.root, plan);
  // Damage in the middle of an attempt is not what a crash leaves.
  std::string text = stringOf(readFileBytes(Store::journalURL(repo.root, plan)));
  writeFileAtomically(
      Store::journalURL(repo.root, plan),
      text + "garbage\n" +
          R"({"completedOperation":{"kind":"mkdir","relPath":"a"},"kind":"completed","updatedAt":"2026-04-01T08:00:00Z"})"
          "\n");
  EXPECT_ANY_THROW(Store::clearPartialRun(repo.root, plan));
  EXPECT_TRUE(Store::exists(repo.root, plan));
  EXPECT_EQ(repo.openCatalog().listRuns(plan, true).size(), 2u);

  // Without a journal there is nothing to undo but the staging folder.
  Store::clear(repo.root, plan);
  fs::create_directories(repo.root / ".upload-staging");
  Store::clearPartialRun(repo.root, plan);
  EXPECT_FALSE(fs::exists(repo.root / ".upload-staging"));
}

TEST_F(RunStateTest, GroupedJournalSynchronisesOncePerGroupAndBeforeCommit) {
  int syncs = 0;
  BackupRunJournal::Options options;
  options.recordsPerSync = 4;
  options.maximumDelay = std::chrono::hours(1);
  options.synchronizeFile = [&](int) {
    ++syncs;
    return 0;
  };
  {
    BackupRunJournal journal(root_, plan_, Store::Record::started("U1", plan_, 100, 10), options);
    for (int i = 0; i < 8; ++i) journal.recordCompleted("f" + std::to_string(i), "copy", std::nullopt, std::nullopt);
    journal.recordCompleted("f8", "copy", std::nullopt, std::nullopt);
    journal.synchronize();  // the two full groups and the remainder
    EXPECT_LE(syncs, 3);
    EXPECT_GE(syncs, 1);
    const int afterSync = syncs;
    journal.synchronize();  // nothing pending: no further call
    EXPECT_EQ(syncs, afterSync);
  }
  EXPECT_EQ(Store::load(root_, plan_).completedOperations.size(), 9u);

  // A failing synchronisation reaches the caller.
  options.synchronizeFile = [](int) {
    errno = EIO;
    return -1;
  };
  BackupRunJournal failing(root_, plan_, Store::Record::started("U2", plan_, 200, 1), options);
  failing.recordCompleted("g", "copy", std::nullopt, std::nullopt);
  EXPECT_THROW(failing.synchronize(), PosixError);
}

TEST_F(RunStateTest, GroupedJournalSynchronisesAfterTheDelayWithoutBeingAsked) {
  std::mutex mutex;
  std::condition_variable called;
  int syncs = 0;
  BackupRunJournal::Options options;
  options.recordsPerSync = 1000;
  options.maximumDelay = std::chrono::milliseconds(1);
  options.synchronizeFile = [&](int) {
    std::lock_guard<std::mutex> lock(mutex);
    ++syncs;
    called.notify_all();
    return 0;
  };
  BackupRunJournal journal(root_, plan_, Store::Record::started("U1", plan_, 100, 1), options);
  journal.recordCompleted("f", "copy", std::nullopt, std::nullopt);
  std::unique_lock<std::mutex> lock(mutex);
  EXPECT_TRUE(called.wait_for(lock, std::chrono::seconds(30), [&] { return syncs > 0; }));
}

}  // namespace
}  // namespace tvr
