#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "engine/storage/RepositoryIntegrityVerifier.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "tests/support/ErrorAssertions.h"
#include "tests/support/Files.h"
#include "tests/support/Fixtures.h"
#include "tests/support/RepositoryBuilder.h"
#include "tests/support/SnapshotPrinting.h"
#include "tests/support/TempDir.h"

namespace tvr {
namespace {

namespace fs = std::filesystem;
using Kind = RepositoryIntegrityIssue::Kind;
using test::iso;
using test::TempDir;
using test::throwsError;
using test::writeText;

const PlanID kPlan("plan-1");

void flipByte(const fs::path& file, std::streamoff offset) {
  std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
  stream.seekg(offset);
  char byte = 0;
  stream.read(&byte, 1);
  byte = static_cast<char>(byte ^ 0x20);
  stream.seekp(offset);
  stream.write(&byte, 1);
}

// Two runs: run 1 with a.txt, b.txt, c.txt; run 2 deletes b.txt (its blob stays referenced
// by the history) and has a checkpoint.
class VerifierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::RepositoryEventBuilder builder(repository());
    const auto run1 = builder.beginRun(kPlan);
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
      keys_.push_back(
          builder.addFile(kPlan, run1, name, std::string("content of ") + name, iso("2026-01-01T00:00:00Z")));
    }
    builder.finishRun(run1);
    const auto run2 = builder.beginRun(kPlan);
    builder.addFile(kPlan, run2, "a.txt", "content of a.txt", iso("2026-01-01T00:00:00Z"));
    builder.deletePath(kPlan, run2, "b.txt", keys_[1]);
    builder.finishRun(run2);
    manifestKey_ = builder.checkpoint(kPlan, run2);
  }

  fs::path repository() const { return scratch_.path() / "repository"; }
  fs::path blobPath(const std::string& key) const { return repository() / "blobs" / key.substr(0, 2) / key; }
  RepositoryIntegrityReport verify() const {
    return RepositoryIntegrityVerifier(test::testKeyMaterial()).verify(repository());
  }

  TempDir scratch_;
  std::vector<std::string> keys_;
  std::string manifestKey_;
};

TEST_F(VerifierTest, HealthyRepositoryVerifiesTheManifestByItsStoredHash) {
  const RepositoryIntegrityReport report = verify();
  EXPECT_EQ(report.issues, std::vector<RepositoryIntegrityIssue>{});
  EXPECT_TRUE(report.isHealthy());
  EXPECT_EQ(report.referencedBlobCount, 4);
  EXPECT_EQ(report.storedBlobCount, 4);
  // The manifest is keyed by the SHA-256 of its encrypted bytes, not by its plaintext.
  EXPECT_EQ(RepositoryIntegrityVerifier::sha256Hex(blobPath(manifestKey_)), manifestKey_);
}

TEST_F(VerifierTest, ReportsMissingFirstThenOrphanAndCorruptInKeyOrder) {
  // a: corrupt (flipped byte in its chunk); b: missing; c: moved to a wrong shard, where
  // readers never look, so missing at its expected path;
  // manifest: corrupt (one flipped byte, caught by its hash); two orphans; ignored leftovers.
  flipByte(blobPath(keys_[0]), 40);
  fs::remove(blobPath(keys_[1]));
  fs::create_directories(repository() / "blobs" / "zz");
  fs::rename(blobPath(keys_[2]), repository() / "blobs" / "zz" / keys_[2]);
  flipByte(blobPath(manifestKey_), 60);
  const std::string orphanLow(64, '0');
  const std::string orphanHigh(64, 'f');
  writeText(repository() / "blobs" / "00" / orphanLow, "unreferenced");
  writeText(repository() / "blobs" / "ff" / orphanHigh, "unreferenced");
  writeText(repository() / "blobs" / "ab" / ("." + keys_[0] + ".tmp-1"), "leftover");
  writeText(repository() / "blobs" / "ab" / "short-name", "leftover");
  writeText(repository() / "blobs" / ".hidden" / std::string(64, 'e'), "hidden directory");
  writeText(repository() / "blobs" / ("." + std::string(63, 'd')), "hidden file of 64 characters");

  std::vector<RepositoryIntegrityIssue> expected = {
      {Kind::missingBlob, keys_[1], blobPath(keys_[1]).string()},
      {Kind::missingBlob, keys_[2], blobPath(keys_[2]).string()},
  };
  std::sort(expected.begin(), expected.end(), [](const auto& a, const auto& b) { return a.blobKey < b.blobKey; });
  std::vector<RepositoryIntegrityIssue> stored = {
      {Kind::orphanBlob, orphanLow, (repository() / "blobs" / "00" / orphanLow).string()},
      {Kind::orphanBlob, orphanHigh, (repository() / "blobs" / "ff" / orphanHigh).string()},
      {Kind::corruptBlob, keys_[0], blobPath(keys_[0]).string()},
      {Kind::corruptBlob, manifestKey_, blobPath(manifestKey_).string()},
  };
  std::sort(stored.begin(), stored.end(), [](const auto& a, const auto& b) { return a.blobKey < b.blobKey; });
  expected.insert(expected.end(), stored.begin(), stored.end());

  const RepositoryIntegrityReport report = verify();
  EXPECT_EQ(report.issues, expected);
  EXPECT_EQ(report.referencedBlobCount, 4);
  EXPECT_EQ(report.storedBlobCount, 5);  // a, c (wrong shard), manifest, two orphans
  EXPECT_FALSE(report.isHealthy());
  EXPECT_EQ(verify(), report);
}

TEST_F(VerifierTest, ANonBlobFileUnderAReferencedKeyIsCorrupt) {
  writeText(blobPath(keys_[2]), "plain bytes, not an encrypted blob");
  fs::resize_file(blobPath(keys_[0]), 5);  // too short for even the magic
  const RepositoryIntegrityReport report = verify();
  ASSERT_EQ(report.issues.size(), 2u);
  for (const RepositoryIntegrityIssue& issue : report.issues) EXPECT_EQ(issue.kind, Kind::corruptBlob);
}

TEST_F(VerifierTest, EncryptedRepositoryWithoutKeyFailsBeforeTheCatalogIsOpened) {
  fs::remove(repository() / "catalog.sqlite");
  EXPECT_TRUE(throwsError(
      [&] { RepositoryIntegrityVerifier(std::nullopt).verify(repository()); },
      {"RepositoryIntegrityVerifier", 2, "Encrypted repository verification requires repository key material."}));
  EXPECT_TRUE(throwsError([&] { verify(); }, {"BackupCatalog.SQLiteErrorDomain", 1, "Repository catalog is missing."}));
}

TEST_F(VerifierTest, MissingBlobsDirectoryMakesEveryReferenceMissing) {
  fs::remove_all(repository() / "blobs");
  const RepositoryIntegrityReport report = verify();
  EXPECT_EQ(report.storedBlobCount, 0);
  ASSERT_EQ(report.issues.size(), 4u);
  EXPECT_TRUE(std::is_sorted(report.issues.begin(), report.issues.end(),
                             [](const auto& a, const auto& b) { return a.blobKey < b.blobKey; }));
  for (const RepositoryIntegrityIssue& issue : report.issues) {
    EXPECT_EQ(issue.kind, Kind::missingBlob);
    EXPECT_EQ(issue.path, blobPath(issue.blobKey).string());
  }
}

TEST_F(VerifierTest, EnumeratorThatCannotBeCreatedIsAnError) {
  const RepositoryIntegrityVerifier verifier(
      test::testKeyMaterial(), [](const fs::path&) { return std::unique_ptr<RepositoryBlobEnumerator>(); });
  EXPECT_TRUE(throwsError(
      [&] { verifier.verify(repository()); },
      {"RepositoryIntegrityVerifier", 1, "Failed to enumerate blobs at " + (repository() / "blobs").string()}));
}

// Yields one item whose regular-file value cannot be read.
class UnreadableAttributeEnumerator final : public RepositoryBlobEnumerator {
 public:
  explicit UnreadableAttributeEnumerator(fs::path item) : item_(std::move(item)) {}
  std::optional<fs::path> nextURL() override {
    if (done_) return std::nullopt;
    done_ = true;
    return item_;
  }
  bool isRegularFile() override { throw PosixError("lstat", EACCES, item_.string()); }

 private:
  fs::path item_;
  bool done_ = false;
};

TEST_F(VerifierTest, UnreadableFileAttributeIsAnError) {
  const fs::path item = blobPath(keys_[0]);
  const RepositoryIntegrityVerifier verifier(test::testKeyMaterial(), [&](const fs::path&) {
    return std::unique_ptr<RepositoryBlobEnumerator>(std::make_unique<UnreadableAttributeEnumerator>(item));
  });
  EXPECT_THROW(verifier.verify(repository()), PosixError);
}

// Blobs are hashed on several threads, large ones chunk by chunk on all of them; the report
// must be the one a single thread gives. The repository mixes many small blobs, blobs of
// several chunks, missing, corrupt (small and large), orphan and misplaced blobs, and keys
// that are not lowercase hex, which sort between the digits and the letters.
TEST(RepositoryIntegrityVerifier, ParallelReportEqualsTheSerialOneOnADamagedRepository) {
  TempDir scratch;
  const fs::path root = scratch.path();
  auto blobPath = [&](const std::string& key) { return root / "blobs" / key.substr(0, 2) / key; };
  std::vector<std::string> keys;
  const std::string oddMissing(64, 'A');
  const std::string oddPresent(64, 'G');
  {
    test::RepositoryEventBuilder builder(root);
    const auto run = builder.beginRun(kPlan);
    for (int i = 0; i < 40; ++i) {
      keys.push_back(builder.addFile(kPlan, run, "f" + std::to_string(i), "small content " + std::to_string(i),
                                     iso("2026-01-01T00:00:00Z")));
    }
    for (int i = 0; i < 3; ++i) {
      std::string large(3 * 1048576 + 17 * i, '\0');
      for (std::size_t at = 0; at < large.size(); ++at) large[at] = static_cast<char>((at * (i + 3) + (at >> 11)) % 251);
      keys.push_back(builder.addFile(kPlan, run, "large" + std::to_string(i), large, iso("2026-01-01T00:00:00Z")));
    }
    for (const std::string& odd : {oddMissing, oddPresent}) {
      builder.catalog().insertEvent(run, kPlan, "odd" + odd.substr(0, 1), "odd" + odd.substr(0, 1), "copy", odd, 4,
                                    std::nullopt, iso("2026-01-01T00:00:00Z"), std::nullopt, false);
    }
    builder.finishRun(run);
  }
  writeText(blobPath(oddPresent), "not a blob");
  fs::remove(blobPath(keys[3]));
  fs::remove(blobPath(keys[41]));
  flipByte(blobPath(keys[7]), 50);
  flipByte(blobPath(keys[40]), static_cast<std::streamoff>(fs::file_size(blobPath(keys[40]))) - 100);  // last chunk
  flipByte(blobPath(keys[42]), 30);                 // in the first chunk of a large blob
  fs::create_directories(root / "blobs" / "zz");
  fs::copy_file(blobPath(keys[9]), root / "blobs" / "zz" / keys[9]);  // a second copy, misplaced
  fs::rename(blobPath(keys[11]), root / "blobs" / "zz" / keys[11]);  // only a misplaced copy
  writeText(root / "blobs" / "0a" / (std::string(2, '0') + std::string(62, 'a')), "orphan");
  writeText(root / "blobs" / "Zz" / std::string(64, 'Z'), "orphan with an odd name");

  RepositoryIntegrityVerifier serial(test::testKeyMaterial());
  serial.setWorkerCount(1);
  const RepositoryIntegrityReport expected = serial.verify(root);
  std::map<Kind, int> counts;
  for (const RepositoryIntegrityIssue& issue : expected.issues) ++counts[issue.kind];
  EXPECT_EQ(counts[Kind::missingBlob], 4);  // keys 3, 41, 11 and the odd missing key
  EXPECT_EQ(counts[Kind::corruptBlob], 4);  // keys 7, 40, 42 and the odd present key
  EXPECT_EQ(counts[Kind::orphanBlob], 2);
  EXPECT_EQ(expected.referencedBlobCount, 45);
  EXPECT_EQ(expected.storedBlobCount, 44);  // 42 referenced names with a file somewhere, 2 orphans
  for (unsigned workers : {2u, 3u, 8u}) {
    SCOPED_TRACE(workers);
    RepositoryIntegrityVerifier parallel(test::testKeyMaterial());
    parallel.setWorkerCount(workers);
    EXPECT_EQ(parallel.verify(root), expected);

    // The same findings read in order, and progress over exactly the blobs hashed: the
    // referenced ones at their own path.
    RepositoryIntegrityProgress progress;
    std::vector<std::pair<std::int64_t, std::int64_t>> started;
    progress.started = [&](std::int64_t blobs, std::int64_t bytes) { started.emplace_back(blobs, bytes); };
    const RepositoryIntegrityFindings findings = parallel.check(root, &progress);
    EXPECT_EQ(findings.issueCount(), 10);
    EXPECT_EQ(findings.report(), expected);
    std::int64_t hashedBytes = 0;
    for (const std::string& key : keys) {
      if (fs::exists(blobPath(key))) hashedBytes += static_cast<std::int64_t>(fs::file_size(blobPath(key)));
    }
    hashedBytes += static_cast<std::int64_t>(fs::file_size(blobPath(oddPresent)));
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].first, 41);
    EXPECT_EQ(started[0].second, hashedBytes);
    EXPECT_EQ(progress.blobsDone.load(), 41);
    EXPECT_EQ(progress.bytesDone.load(), hashedBytes);
  }
}

TEST(RepositoryIntegrityVerifier, EmptyRepositoryIsHealthy) {
  TempDir scratch;
  { test::RepositoryEventBuilder builder(scratch.path()); }
  const RepositoryIntegrityReport report = RepositoryIntegrityVerifier(test::testKeyMaterial()).verify(scratch.path());
  EXPECT_EQ(report, (RepositoryIntegrityReport{0, 0, {}}));
  EXPECT_TRUE(report.isHealthy());
}

}  // namespace
}  // namespace tvr
