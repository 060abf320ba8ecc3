#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "engine/backup/BackupRunStateStore.h"
#include "engine/catalog/BackupCatalog.h"
#include "engine/crypto/EncryptedBlobCodec.h"
#include "engine/crypto/RecoveryKeyWrapping.h"
#include "engine/metadata/RepositoryMetadata.h"
#include "engine/storage/RepositoryIntegrityVerifier.h"
#include "engine/storage/RepositoryRestoreReader.h"
#include "platform/FileSystem.h"
#include "tests/support/Files.h"
#include "tests/support/Process.h"
#include "tests/support/S3rverFixture.h"
#include "tests/support/TempDir.h"
#include "tools/tvr-writer/RepositoryWriter.h"

namespace tvr {
namespace {

namespace fs = std::filesystem;
using test::writeText;
using tools::RepositoryWriterOptions;
using tools::RepositoryWriterResult;
using tools::writeRun;

constexpr const char* kPassword = "correct horse battery 42";

// What a folder held: normalised relative path -> contents ("/" marks a directory).
using FolderState = std::map<std::string, std::string>;

FolderState folderState(const fs::path& source) {
  FolderState state;
  for (auto it = fs::recursive_directory_iterator(source); it != fs::recursive_directory_iterator(); ++it) {
    std::string rel = fs::relative(it->path(), source).string();
    state[rel] = it->is_directory() ? "/" : stringOf(readFileBytes(it->path()));
  }
  return state;
}

// The run's snapshot walked through the catalog's children, with every file's contents
// decrypted through the reader.
FolderState snapshotState(const fs::path& repository, const RepositoryKeyMaterial& key, const PlanID& plan,
                          std::int64_t runID) {
  BackupCatalog catalog(repository, key, BackupCatalog::OpenMode::readOnly);
  RepositoryRestoreReader reader(repository, key);
  FolderState state;
  std::function<void(const std::optional<std::string>&)> walk = [&](const std::optional<std::string>& dir) {
    for (const SnapshotEntry& entry : catalog.listSnapshotChildren(plan, runID, dir)) {
      if (entry.kind == SnapshotKind::directory) {
        state[entry.relPathNorm] = "/";
        walk(entry.relPathNorm);
      } else {
        state[entry.relPathNorm] = stringOf(reader.fileData(plan, runID, entry.relPathNorm, 64 << 20));
      }
    }
  };
  walk(std::nullopt);
  return state;
}

RepositoryKeyMaterial unlock(const fs::path& repository) {
  auto metadata = RepositoryMetadata::read(repository);
  return RecoveryKeyWrapping::unwrap(*metadata->encryption->recoveryWrappedKey, kPassword);
}

class RepositoryWriterTest : public ::testing::Test {
 protected:
  RepositoryWriterOptions options(const std::string& plan = "docs") {
    RepositoryWriterOptions o;
    o.repository = temp_ / "repo";
    o.planID = plan;
    o.planName = "Documents";
    o.source = temp_ / "source";
    o.recoveryPassword = kPassword;
    return o;
  }
  fs::path source() const { return temp_ / "source"; }
  fs::path repository() const { return temp_ / "repo"; }

  test::TempDir temp_;
};

TEST_F(RepositoryWriterTest, EachRunListsExactlyWhatTheFolderHeldThenByHistoryAndCheckpoint) {
  // A few hundred files: nested folders, Unicode names, an empty file, one over 1 MiB.
  for (int d = 0; d < 12; ++d) {
    for (int f = 0; f < 25; ++f) {
      writeText(source() / ("dir" + std::to_string(d)) / ("sub" + std::to_string(f % 3)) /
                    ("file" + std::to_string(f) + ".txt"),
                "contents of " + std::to_string(d) + "/" + std::to_string(f % 7));
    }
  }
  writeText(source() / "Ünïcödé" / "фото.jpg", "not a photo");
  writeText(source() / "写真" / "旅行.txt", "trip");
  writeText(source() / "empty", "");
  std::string big(1 << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7 + (i >> 12)) % 251);
  writeText(source() / "big.bin", big + "tail");
  fs::create_directories(source() / "empty folder");
  FolderState first = folderState(source());

  RepositoryWriterResult run1 = writeRun(options());
  EXPECT_EQ(run1.filesTotal, 304);
  EXPECT_EQ(run1.filesCopied, 304);
  // Equal contents are stored once.
  EXPECT_EQ(run1.blobsWritten + run1.blobsAlreadyStored, 304);
  EXPECT_LT(run1.blobsWritten, 304);

  // Change the folder: delete a file and a folder, change one, add one, add a folder.
  fs::remove(source() / "empty");
  fs::remove_all(source() / "dir3");
  writeText(source() / "dir0" / "sub0" / "file0.txt", "changed");
  writeText(source() / "new" / "added.txt", "added");
  FolderState second = folderState(source());
  RepositoryWriterOptions again = options();
  again.writeCheckpoint = true;
  RepositoryWriterResult run2 = writeRun(again);
  EXPECT_EQ(run2.filesCopied, 1);
  EXPECT_EQ(run2.filesReplaced, 1);
  EXPECT_EQ(run2.filesDeleted, 1 + 25);
  EXPECT_EQ(run2.directoriesDeleted, 4);  // dir3 and its three sub folders
  ASSERT_TRUE(run2.checkpointBlobKey.has_value());
  EXPECT_FALSE(BackupRunStateStore::exists(repository(), "docs"));

  RepositoryKeyMaterial key = unlock(repository());
  EXPECT_EQ(snapshotState(repository(), key, "docs", run1.runID), first);   // history query
  EXPECT_EQ(snapshotState(repository(), key, "docs", run2.runID), second);  // checkpoint
  {
    // The same run through a checkpoint gives the same listing as through its history.
    BackupCatalog catalog(repository(), key, BackupCatalog::OpenMode::readWrite);
    catalog.writeSnapshotCheckpoint("docs", run1.runID);
  }
  EXPECT_EQ(snapshotState(repository(), key, "docs", run1.runID), first);
  EXPECT_TRUE(RepositoryIntegrityVerifier(key).verify(repository()).isHealthy());
}

TEST_F(RepositoryWriterTest, RepairsADamagedLocalBlobOnTheNextRun) {
  writeText(source() / "a.txt", "alpha contents");
  writeText(source() / "b.txt", "beta contents");
  RepositoryWriterResult run1 = writeRun(options());
  RepositoryKeyMaterial key = unlock(repository());

  // Flip one byte of a's blob; the verifier sees it.
  std::string blobKey;
  {
    BackupCatalog catalog(repository(), key, BackupCatalog::OpenMode::readOnly);
    blobKey = *catalog.snapshotFileEntry("docs", run1.runID, "a.txt")->blobKey;
  }
  fs::path blob = repository() / "blobs" / blobKey.substr(0, 2) / blobKey;
  Bytes bytes = readFileBytes(blob);
  bytes[bytes.size() / 2] ^= 0x01;
  writeFileAtomically(blob, bytes);
  EXPECT_FALSE(RepositoryIntegrityVerifier(key).verify(repository()).isHealthy());

  // A changed date makes the next run store a's content again.
  fs::last_write_time(source() / "a.txt", fs::last_write_time(source() / "a.txt") - std::chrono::hours(1));
  RepositoryWriterResult run2 = writeRun(options());
  ASSERT_EQ(run2.warnings.size(), 1u);
  EXPECT_EQ(run2.warnings[0].message, "Existing encrypted blob could not be authenticated; rewriting");
  EXPECT_EQ(run2.warnings[0].path, blob.string());
  EXPECT_EQ(run2.blobsWritten, 1);
  EXPECT_TRUE(RepositoryIntegrityVerifier(key).verify(repository()).isHealthy());
  RepositoryRestoreReader reader(repository(), key);
  EXPECT_EQ(stringOf(reader.fileData("docs", run1.runID, "a.txt", 1 << 20)), "alpha contents");
}

int runWriterProgram(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& env) {
  std::string command;
  for (const auto& [name, value] : env) command += name + "=" + test::shellQuoted(value) + " ";
  command += test::shellQuoted(TVR_WRITER_BINARY);
  for (const auto& arg : arguments) command += " " + test::shellQuoted(arg);
  command += " >/dev/null 2>&1";
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Blobs on an S3-compatible bucket: an interrupted run leaves a journal naming exactly the
// uploaded blobs no catalog row references; cleanup removes its rows, journal and staging.
TEST_F(RepositoryWriterTest, InterruptedRunWithBlobsOnS3LeavesAJournalThatCleansUp) {
  test::S3rverFixture s3({"backups"});
  std::ofstream(temp_ / "password") << kPassword << "\r\n";
  const std::vector<std::string> common = {"--repository",
                                           repository().string(),
                                           "--plan",
                                           "docs",
                                           "--source",
                                           source().string(),
                                           "--recovery-password-file",
                                           (temp_ / "password").string(),
                                           "--s3-bucket",
                                           "backups",
                                           "--s3-region",
                                           "us-east-1",
                                           "--s3-access-key-id",
                                           test::S3rverFixture::kAccessKey,
                                           "--s3-endpoint",
                                           s3.endpoint()};
  const std::map<std::string, std::string> env = {{"AWS_SECRET_ACCESS_KEY", test::S3rverFixture::kSecret}};

  writeText(source() / "kept.txt", "kept");
  ASSERT_EQ(runWriterProgram(common, env), 0);
  writeText(source() / "one.txt", "one");
  writeText(source() / "two.txt", "two");
  writeText(source() / "three.txt", "three");
  std::vector<std::string> interrupted = common;
  interrupted.insert(interrupted.end(), {"--interrupt-after", "2"});
  ASSERT_EQ(runWriterProgram(interrupted, env), 75);

  const PlanID plan("docs");
  ASSERT_TRUE(BackupRunStateStore::exists(repository(), plan));
  EXPECT_EQ(BackupRunStateStore::partialRunSnapshot(repository(), plan).completedOperationCount, 2);
  RepositoryKeyMaterial key = unlock(repository());
  EncryptedBlobCodec codec(key);
  // Operations start in path order: one.txt, three.txt were uploaded before the interruption.
  std::vector<RepositoryObjectKey> expected;
  for (const char* contents : {"one", "three"}) {
    std::string k = codec.blobKeyForPlaintext(bytesOf(contents));
    expected.emplace_back("blobs/" + k.substr(0, 2) + "/" + k);
  }
  // Workers journal in the order they finish, so the keys are compared as a set.
  std::vector<RepositoryObjectKey> written =
      BackupRunStateStore::remoteObjectKeysWrittenDuringPartialRun(repository(), plan);
  auto byName = [](const RepositoryObjectKey& a, const RepositoryObjectKey& b) { return a.rawValue() < b.rawValue(); };
  std::sort(written.begin(), written.end(), byName);
  std::sort(expected.begin(), expected.end(), byName);
  EXPECT_EQ(written, expected);
  auto bucket = s3.backend("backups");
  for (const auto& objectKey : expected) EXPECT_TRUE(bucket.objectExists(objectKey));
  {
    BackupCatalog catalog(repository(), key, BackupCatalog::OpenMode::readOnly);
    ASSERT_EQ(catalog.listRuns(plan, true).size(), 2u);
  }

  std::string partialUUID = BackupRunStateStore::activeRunUUID(repository(), plan);
  BackupRunStateStore::clearPartialRun(repository(), plan);
  EXPECT_FALSE(BackupRunStateStore::exists(repository(), plan));
  EXPECT_FALSE(fs::exists(repository() / ".upload-staging"));
  BackupCatalog catalog(repository(), key, BackupCatalog::OpenMode::readOnly);
  std::vector<RunInfo> runs = catalog.listRuns(plan, true);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_NE(runs[0].runUUID, partialUUID);
  EXPECT_EQ(runs[0].status, RunStatus::completed);
}

// A remote blob stored under the right key with other content (of the same size, so the
// store's size check passes) stops the run; the object is left as it was.
TEST_F(RepositoryWriterTest, RemoteBlobWithOtherContentStopsTheRun) {
  test::S3rverFixture s3({"backups"});
  writeText(source() / "a.txt", "the real contents");
  RepositoryWriterOptions o = options();
  o.blobBackend = std::make_shared<S3RepositoryStorageBackend>(s3.configuration("backups"));
  writeText(temp_ / "bootstrap" / "x", "x");
  // Create the repository (and so its key) first with a run of another plan.
  RepositoryWriterOptions first = options("other");
  first.source = temp_ / "bootstrap";
  writeRun(first);
  EncryptedBlobCodec codec(unlock(repository()));
  std::string blobKey = codec.blobKeyForPlaintext(bytesOf("the real contents"));
  std::string objectKey = "blobs/" + blobKey.substr(0, 2) + "/" + blobKey;
  writeText(temp_ / "impostor", stringOf(codec.seal(bytesOf("the fake contents"))));
  auto bucket = s3.backend("backups");
  bucket.writeObject(temp_ / "impostor", RepositoryObjectKey(objectKey), RepositoryObjectWriteMode::replace());

  try {
    writeRun(o);
    FAIL() << "the run accepted a remote blob of other content";
  } catch (const Error& e) {
    EXPECT_EQ(e.message(), "Existing remote encrypted blob could not be authenticated for " + objectKey + ".");
  }
  bucket.readObject(RepositoryObjectKey(objectKey), temp_ / "after");
  EXPECT_EQ(readFileBytes(temp_ / "after"), readFileBytes(temp_ / "impostor"));
}

// A file edited between planning and storing is recorded as stored, locally and on S3: the
// run's key and size name the stored bytes, and a later run meeting the planned contents
// stores them under their own key.
TEST_F(RepositoryWriterTest, FileEditedWhileTheRunStoresItIsRecordedAsStored) {
  std::unique_ptr<test::S3rverFixture> s3;
  for (bool remote : {false, true}) {
    SCOPED_TRACE(remote ? "S3" : "local");
    fs::remove_all(repository());
    fs::remove_all(source());
    RepositoryWriterOptions o = options();
    if (remote) {
      try {
        s3 = std::make_unique<test::S3rverFixture>(std::vector<std::string>{"backups"});
      } catch (const std::exception& e) {
        GTEST_SKIP() << "s3rver cannot run here: " << e.what();
      }
      o.blobBackend = std::make_shared<S3RepositoryStorageBackend>(s3->configuration("backups"));
    }
    writeText(source() / "a.txt", "original");
    writeText(source() / "b.txt", "unchanged");
    writeRun(o);
    writeText(source() / "a.txt", "changed before the run");
    const std::string edited = "edited after planning, while the run was storing files";
    RepositoryWriterOptions editing = o;
    editing.afterPlanning = [&] { writeText(source() / "a.txt", edited); };
    RepositoryWriterResult run2 = writeRun(editing);
    EXPECT_EQ(run2.filesReplaced, 1);
    EXPECT_EQ(run2.filesChangedWhileStored, 1);

    RepositoryKeyMaterial key = unlock(repository());
    EncryptedBlobCodec codec(key);
    std::optional<SnapshotEntry> entry = BackupCatalog(repository(), key, BackupCatalog::OpenMode::readOnly)
                                             .snapshotFileEntry("docs", run2.runID, "a.txt");
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->blobKey, codec.blobKeyForPlaintext(bytesOf(edited)));
    EXPECT_EQ(entry->sizeBytes, static_cast<std::int64_t>(edited.size()));
    if (remote) {
      auto bucket = s3->backend("backups");
      const std::string objectKey = "blobs/" + entry->blobKey->substr(0, 2) + "/" + *entry->blobKey;
      bucket.readObject(RepositoryObjectKey(objectKey), temp_ / "object");
      EXPECT_EQ(codec.blobKeyForEncryptedBlobAt(temp_ / "object"), *entry->blobKey);
      EXPECT_EQ(stringOf(codec.open(readFileBytes(temp_ / "object"))), edited);
    } else {
      EXPECT_TRUE(RepositoryIntegrityVerifier(key).verify(repository()).isHealthy());
      EXPECT_EQ(stringOf(RepositoryRestoreReader(repository(), key).fileData("docs", run2.runID, "a.txt", 1 << 20)),
                edited);
    }
    // The planned contents come back: stored under their own key, the run succeeds.
    writeText(source() / "a.txt", "changed before the run");
    EXPECT_EQ(writeRun(o).filesReplaced, 1);
  }
}

// One repository through everything at once: an edit during a run, a crash that leaves a
// torn journal, and a deleted run. It verifies healthy and each remaining run lists exactly
// what the folder held when that run saw it.
TEST_F(RepositoryWriterTest, RepositoryOutlivesAnEditACrashWithATornJournalAndADeletedRun) {
  std::ofstream(temp_ / "password") << kPassword << "\n";
  writeText(source() / "a.txt", "first a");
  writeText(source() / "b.txt", "first b");
  writeText(source() / "dir" / "c.txt", "first c");
  RepositoryWriterResult run1 = writeRun(options());
  const FolderState seenByRun1 = folderState(source());

  // Run 2: a.txt changes before planning and again while the run stores files.
  writeText(source() / "a.txt", "second a");
  RepositoryWriterOptions editing = options();
  editing.afterPlanning = [&] { writeText(source() / "a.txt", "second a, edited while stored"); };
  RepositoryWriterResult run2 = writeRun(editing);
  EXPECT_EQ(run2.filesChangedWhileStored, 1);

  // The next run is killed after two operations (a.txt, whose date changed with the edit, and
  // e.txt), its last journal line torn by the crash.
  fs::remove(source() / "b.txt");
  writeText(source() / "e.txt", "new e");
  writeText(source() / "f.txt", "new f");
  ASSERT_EQ(runWriterProgram(
                {"--repository", repository().string(), "--plan", "docs", "--source", source().string(),
                 "--recovery-password-file", (temp_ / "password").string(), "--interrupt-after", "2", "--workers", "1"},
                {}),
            75);
  const fs::path journal = BackupRunStateStore::journalURL(repository(), "docs");
  {
    std::string text = stringOf(readFileBytes(journal));
    ASSERT_EQ(text.back(), '\n');
    const std::size_t lastLine = text.rfind('\n', text.size() - 2) + 1;
    fs::resize_file(journal, lastLine + 120);  // past the record's blob key, short of its end
  }
  RepositoryKeyMaterial key = unlock(repository());
  EXPECT_FALSE(RepositoryIntegrityVerifier(key).verify(repository()).isHealthy());  // e's blob

  // Run 3 cleans up the crashed attempt (e's blob, named only by the torn line) and backs
  // up the folder.
  RepositoryWriterResult run3 = writeRun(options());
  ASSERT_TRUE(run3.clearedPartialRunUUID.has_value());
  EXPECT_EQ(run3.clearedPartialRunBlobs, 1);
  EXPECT_EQ(run3.filesDeleted, 1);
  const FolderState seenByRun3 = folderState(source());

  // Run 2 goes; the next run gets a number never used before and sees no change.
  {
    BackupCatalog catalog(repository(), key, BackupCatalog::OpenMode::readWrite);
    std::string run2UUID;
    for (const RunInfo& run : catalog.listRuns("docs", true)) {
      if (run.id == run2.runID) run2UUID = run.runUUID;
    }
    ASSERT_FALSE(run2UUID.empty());
    catalog.deleteRun("docs", run2UUID);
  }
  RepositoryWriterResult run4 = writeRun(options());
  EXPECT_GT(run4.runID, run3.runID);
  EXPECT_EQ(run4.filesUnchanged, 4);
  EXPECT_EQ(run4.filesCopied + run4.filesReplaced + run4.filesDeleted, 0);

  std::vector<std::int64_t> remaining;
  for (const RunInfo& run :
       BackupCatalog(repository(), key, BackupCatalog::OpenMode::readOnly).listRuns("docs", true)) {
    remaining.push_back(run.id);
  }
  EXPECT_EQ(remaining, (std::vector<std::int64_t>{run1.runID, run3.runID, run4.runID}));
  EXPECT_TRUE(RepositoryIntegrityVerifier(key).verify(repository()).isHealthy());
  EXPECT_EQ(snapshotState(repository(), key, "docs", run1.runID), seenByRun1);
  EXPECT_EQ(snapshotState(repository(), key, "docs", run3.runID), seenByRun3);
  EXPECT_EQ(snapshotState(repository(), key, "docs", run4.runID), seenByRun3);
  EXPECT_EQ(seenByRun3.at("a.txt"), "second a, edited while stored");
  EXPECT_EQ(seenByRun3.count("b.txt"), 0u);
}

}  // namespace
}  // namespace tvr
