// The repository written by an independent implementation: restoring, exporting, walking and
// verifying it shows the reader follows the format rather than this project's writer.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "engine/storage/RepositoryIntegrityVerifier.h"
#include "engine/storage/RepositoryRestoreReader.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "tests/readers/SnapshotWalk.h"
#include "tests/support/Files.h"
#include "tests/support/Fixtures.h"
#include "tests/support/RepositoryBuilder.h"
#include "tests/support/TempDir.h"

namespace tvr {
namespace {

using test::iso;
using test::modificationTime;
using test::readText;
using test::TempDir;
using test::walkByListing;

const PlanID kPlan("family-archive");
const std::string kDecomposedName = "Ste\xCC\x81phane.jpg";  // "Ste" + U+0301 + "phane.jpg"
const std::string kComposedName = "st\xC3\xA9phane.jpg";     // "st" + U+00E9 + "phane.jpg"

std::string clipContent() {
  std::string bytes(1048577, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((7 * i + (i >> 12)) % 251);
  return bytes;
}

struct SampleFile {
  std::string relPathNorm;
  std::string relPath;
  std::string content;
  double modifiedAt;
};

std::vector<SampleFile> run1Files() {
  return {
      {"letters/to grandma.txt", "letters/to grandma.txt", "Dear grandma,\n", iso("2026-03-01T10:00:00Z")},
      {"photos/2025/" + kComposedName, "photos/2025/" + kDecomposedName, "not really a jpeg\n",
       iso("2026-03-02T10:00:00Z")},
      {"old.txt", "old.txt", "to be deleted\n", iso("2026-03-03T10:00:00Z")},
      {"empty", "empty", "", iso("2026-03-04T10:00:00Z")},
  };
}

std::vector<SampleFile> run2Files() {
  std::vector<SampleFile> files = run1Files();
  files.erase(files.begin() + 2);  // old.txt is deleted in run 2
  files.push_back({"video/clip.bin", "video/clip.bin", clipContent(), iso("2026-03-05T10:00:00Z")});
  return files;
}

class SampleRepositoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The catalog is opened read-write by SQLite, so the shared fixture is never opened in place.
    std::filesystem::copy(test::fixturesDirectory() / "sample-repository", repository(),
                          std::filesystem::copy_options::recursive);
  }
  std::filesystem::path repository() const { return scratch_.path() / "repository"; }
  RepositoryRestoreReader reader() const { return RepositoryRestoreReader(repository(), test::sampleRepositoryKey()); }

  TempDir scratch_;
};

TEST_F(SampleRepositoryTest, RestoresEveryFileOfBothRunsWithContentsAndDates) {
  struct Case {
    std::int64_t runID;
    std::vector<SampleFile> files;
  };
  const Case cases[] = {{1, run1Files()}, {2, run2Files()}};  // history query, then checkpoint
  for (const Case& c : cases) {
    for (const SampleFile& file : c.files) {
      SCOPED_TRACE("run " + std::to_string(c.runID) + " " + file.relPathNorm);
      const auto destination = scratch_.path() / ("restore-" + std::to_string(c.runID)) / file.relPathNorm;
      reader().restoreFile(kPlan, c.runID, file.relPathNorm, destination, false);
      EXPECT_EQ(readText(destination), file.content);
      EXPECT_EQ(modificationTime(destination), static_cast<long long>(file.modifiedAt));
      EXPECT_EQ(stringOf(reader().fileData(kPlan, c.runID, file.relPathNorm,
                                           RepositoryRestoreReader::defaultMaxInMemoryFileBytes)),
                file.content);
    }
  }
}

TEST_F(SampleRepositoryTest, DeletedFileIsGoneInRunTwoButRestoresFromRunOne) {
  try {
    reader().restoreFile(kPlan, 2, "old.txt", scratch_.path() / "old.txt", false);
    FAIL() << "restored a deleted file";
  } catch (const Error& error) {
    EXPECT_EQ(error.domain(), "RepositoryRestoreReader");
    EXPECT_EQ(error.code(), 1);
    EXPECT_STREQ(error.what(), "No file at old.txt in run 2");
  }
  EXPECT_FALSE(std::filesystem::exists(scratch_.path() / "old.txt"));
  reader().restoreFile(kPlan, 1, "old.txt", scratch_.path() / "old.txt", false);
  EXPECT_EQ(readText(scratch_.path() / "old.txt"), "to be deleted\n");
}

TEST_F(SampleRepositoryTest, TopLevelListingsOfBothRuns) {
  auto names = [&](std::int64_t runID) {
    std::vector<std::string> result;
    for (const SnapshotEntry& entry : reader().listChildren(kPlan, runID, std::nullopt)) {
      result.push_back(snapshotKindName(entry.kind) + " " + entry.name);
    }
    return result;
  };
  EXPECT_EQ(names(1),
            (std::vector<std::string>{"directory letters", "directory photos", "file empty", "file old.txt"}));
  EXPECT_EQ(names(2),
            (std::vector<std::string>{"directory letters", "directory photos", "directory video", "file empty"}));
}

TEST_F(SampleRepositoryTest, SnapshotWalkEqualsTheDirectoryByDirectoryWalk) {
  for (std::int64_t runID : {1, 2}) {
    SCOPED_TRACE(runID);
    const std::vector<SnapshotEntry> expected = walkByListing(reader(), kPlan, runID, std::nullopt);
    EXPECT_EQ(reader().allEntries(kPlan, runID, std::nullopt), expected);
    std::vector<SnapshotEntry> files;
    for (const SnapshotEntry& entry : expected) {
      if (entry.kind == SnapshotKind::file) files.push_back(entry);
    }
    EXPECT_EQ(reader().allFiles(kPlan, runID, std::nullopt), files);
    EXPECT_EQ(reader().allFiles(kPlan, runID, std::string("photos")), (std::vector<SnapshotEntry>{files.at(1)}));
  }
  const std::optional<SnapshotEntry> found = reader().findFile(kPlan, 2, "video/clip.bin");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->sizeBytes, 1048577);
  EXPECT_FALSE(reader().findFile(kPlan, 2, "video"));
  EXPECT_FALSE(reader().findFile(kPlan, 2, "/video/clip.bin"));
}

TEST_F(SampleRepositoryTest, ExportsBothRunsAtTheirDisplayPaths) {
  for (std::int64_t runID : {1, 2}) {
    SCOPED_TRACE(runID);
    const auto destination = scratch_.path() / ("export-" + std::to_string(runID));
    reader().exportRun(kPlan, runID, destination, false);
    const std::vector<SampleFile> files = runID == 1 ? run1Files() : run2Files();
    std::vector<std::string> expectedTree = {"empty",   "letters/",     "letters/to grandma.txt",
                                             "photos/", "photos/2025/", "photos/2025/" + kDecomposedName};
    if (runID == 1) expectedTree.push_back("old.txt");
    if (runID == 2) {
      expectedTree.push_back("video/");
      expectedTree.push_back("video/clip.bin");
    }
    std::sort(expectedTree.begin(), expectedTree.end());
    EXPECT_EQ(test::treeListing(destination), expectedTree);
    for (const SampleFile& file : files) {
      SCOPED_TRACE(file.relPath);
      EXPECT_EQ(readText(destination / file.relPath), file.content);
      EXPECT_EQ(modificationTime(destination / file.relPath), static_cast<long long>(file.modifiedAt));
    }
  }
}

TEST_F(SampleRepositoryTest, VerifiesHealthy) {
  const RepositoryIntegrityReport report =
      RepositoryIntegrityVerifier(test::sampleRepositoryKey()).verify(repository());
  EXPECT_TRUE(report.isHealthy());
  EXPECT_EQ(report.issues, std::vector<RepositoryIntegrityIssue>{});
  EXPECT_EQ(report.referencedBlobCount, 6);  // five contents and the run-2 manifest
  EXPECT_EQ(report.storedBlobCount, 6);
}

}  // namespace
}  // namespace tvr
