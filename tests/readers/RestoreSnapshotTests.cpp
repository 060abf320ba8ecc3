#include <gtest/gtest.h>

#include "engine/storage/RepositoryRestoreReader.h"
#include "engine/storage/RestoreSnapshot.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "tests/readers/SnapshotWalk.h"
#include "tests/support/ErrorAssertions.h"
#include "tests/support/Files.h"
#include "tests/support/Fixtures.h"
#include "tests/support/RepositoryBuilder.h"
#include "tests/support/SnapshotPrinting.h"
#include "tests/support/TempDir.h"

namespace tvr {
namespace {

namespace fs = std::filesystem;
using test::iso;
using test::TempDir;
using test::walkByListing;

const PlanID kPlan("plan-1");

std::vector<std::string> ids(const std::vector<SnapshotEntry>& entries) {
  std::vector<std::string> result;
  for (const SnapshotEntry& entry : entries) result.push_back(entry.id);
  return result;
}

TEST(RestoreSnapshot, WalkIsTheSameWithAndWithoutACheckpoint) {
  TempDir scratch;
  const fs::path repository = scratch.path() / "repository";
  test::RepositoryEventBuilder builder(repository);
  const auto run1 = builder.beginRun(kPlan);
  // The manifest keeps no directory dates, so with a checkpoint a directory shows its newest
  // file's date; the history takes the newest of its own and its files' dates. They agree
  // when the directory's own date is older.
  builder.addDirectory(kPlan, run1, "zeta", iso("2026-01-09T00:00:00Z"));
  builder.addFile(kPlan, run1, "zeta/inner.txt", "z", iso("2026-01-10T00:00:00Z"));
  builder.addDirectory(kPlan, run1, "empty-dir", std::nullopt);
  builder.addFile(kPlan, run1, "alpha/beta/deep.txt", "deep", iso("2026-01-05T00:00:00Z"));  // implied directories
  builder.addFile(kPlan, run1, "alpha/top.txt", "top", iso("2026-01-07T00:00:00Z"));
  builder.addFile(kPlan, run1, "file10", "10", iso("2026-01-01T00:00:00Z"));
  builder.addFile(kPlan, run1, "file2", "2", iso("2026-01-01T00:00:00Z"));
  const std::string goneKey = builder.addFile(kPlan, run1, "gone.txt", "gone", iso("2026-01-01T00:00:00Z"));
  builder.addDirectory(kPlan, run1, "gone-dir", std::nullopt);
  builder.finishRun(run1);
  const auto run2 = builder.beginRun(kPlan);
  builder.deletePath(kPlan, run2, "gone.txt", goneKey);
  builder.deletePath(kPlan, run2, "gone-dir");
  builder.addFile(kPlan, run2, "file2", "2 changed", iso("2026-01-08T00:00:00Z"));
  builder.finishRun(run2);

  const RepositoryRestoreReader reader(repository, test::testKeyMaterial());
  const std::vector<SnapshotEntry> fromHistory = reader.allEntries(kPlan, run2, std::nullopt);
  EXPECT_EQ(ids(fromHistory),
            (std::vector<std::string>{"d:alpha", "d:alpha/beta", "f:alpha/beta/deep.txt", "f:alpha/top.txt",
                                      "d:empty-dir", "d:zeta", "f:zeta/inner.txt", "f:file2", "f:file10"}));
  EXPECT_EQ(fromHistory, walkByListing(reader, kPlan, run2, std::nullopt));
  EXPECT_EQ(fromHistory.at(0).modifiedAt, iso("2026-01-07T00:00:00Z"));  // newest file below
  EXPECT_EQ(fromHistory.at(5).modifiedAt, iso("2026-01-10T00:00:00Z"));
  EXPECT_EQ(fromHistory.at(7).blobKey, builder.storeBlob("2 changed"));
  EXPECT_EQ(ids(reader.allFiles(kPlan, run1, std::string("/alpha/"))),
            (std::vector<std::string>{"f:alpha/beta/deep.txt", "f:alpha/top.txt"}));

  builder.checkpoint(kPlan, run2);
  const std::vector<SnapshotEntry> fromCheckpoint = reader.allEntries(kPlan, run2, std::nullopt);
  EXPECT_EQ(fromCheckpoint, fromHistory);
  EXPECT_EQ(fromCheckpoint, walkByListing(reader, kPlan, run2, std::nullopt));

  const RestoreSnapshot snapshot = reader.loadSnapshot(kPlan, run2);
  ASSERT_TRUE(snapshot.firstFile("alpha/top.txt").has_value());
  EXPECT_EQ(snapshot.firstFile("alpha/top.txt")->id, "f:alpha/top.txt");
  EXPECT_EQ(snapshot.firstFile("alpha"), std::nullopt);
  EXPECT_EQ(snapshot.firstFile("gone.txt"), std::nullopt);
  EXPECT_EQ(snapshot.children("alpha"), reader.listChildren(kPlan, run2, std::string("alpha")));
}

TEST(RestoreSnapshot, WalkEndsOnADirectoryThatListsItself) {
  // "a//b" puts a directory child "a/" inside "a", which names "a" again once trimmed.
  TempDir scratch;
  const fs::path repository = scratch.path() / "repository";
  {
    test::RepositoryEventBuilder builder(repository);
    const auto run = builder.beginRun(kPlan);
    builder.addFile(kPlan, run, "a//b", "x", iso("2026-01-01T00:00:00Z"));
    builder.addFile(kPlan, run, "c", "y", iso("2026-01-01T00:00:00Z"));
    builder.finishRun(run);
  }
  const RepositoryRestoreReader reader(repository, test::testKeyMaterial());
  const std::vector<SnapshotEntry> entries = reader.allEntries(kPlan, 1, std::nullopt);
  EXPECT_LE(entries.size(), 4u);
  EXPECT_EQ(entries.back().id, "f:c");
}

}  // namespace
}  // namespace tvr
