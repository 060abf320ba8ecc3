#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "engine/backup/BlobStoreSession.h"
#include "engine/crypto/EncryptedBlobCodec.h"
#include "engine/storage/LocalRepositoryStorageBackend.h"
#include "platform/Error.h"
#include "tests/support/Files.h"
#include "tests/support/RecordingStorageBackend.h"
#include "tests/support/S3rverFixture.h"
#include "tests/support/TempDir.h"

namespace tvr {
namespace {

namespace fs = std::filesystem;
using test::readText;
using test::RecordingStorageBackend;
using test::TempDir;
using test::writeText;
using Kind = BackupWarning::Kind;

std::vector<std::string> namesIn(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  return names;
}

class BlobStoreSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    source_ = work_.path() / "source.txt";
    writeText(source_, "the same content in two files");
    key_ = codec_.blobKeyForFile(source_, {});
    other_ = work_.path() / "other.txt";
    writeText(other_, std::string(fs::file_size(source_), 'o'));
  }

  fs::path localBlob() const { return repo_.path() / "blobs" / key_.substr(0, 2) / key_; }
  // Results of storing source_ sealed, or copied as it is.
  BlobWriteResult encrypted(bool alreadyPresent, std::int64_t byteCount) const {
    return {alreadyPresent, byteCount, key_, static_cast<std::int64_t>(fs::file_size(source_)), false};
  }
  BlobWriteResult plain(bool alreadyPresent, std::int64_t size) const {
    return {alreadyPresent, size, key_, size, false};
  }
  std::string objectKey() const { return "blobs/" + key_.substr(0, 2) + "/" + key_; }

  EncryptedBlobCodec codec_{RepositoryKeyMaterial(Bytes(32, 0x11))};
  TempDir work_, repo_;
  fs::path source_, other_;
  std::string key_;
  std::vector<BackupWarning> warnings_;
};

TEST_F(BlobStoreSessionTest, LocalBlobIsWrittenOnceAndThenServedFromTheCache) {
  BlobStoreSession session(repo_.path());
  session.ensureRoot();
  EXPECT_TRUE(fs::is_directory(repo_.path() / "blobs"));
  BlobWriteResult first = session.ensureEncryptedBlobPresent(source_, key_, codec_, warnings_);
  EXPECT_FALSE(first.alreadyPresent);
  EXPECT_EQ(first.byteCount, static_cast<std::int64_t>(fs::file_size(localBlob())));
  EXPECT_EQ(codec_.blobKeyForEncryptedBlobAt(localBlob()), key_);
  // The second file with this content is answered without looking at the disk.
  fs::remove(localBlob());
  EXPECT_EQ(session.ensureEncryptedBlobPresent(source_, key_, codec_, warnings_), encrypted(true, first.byteCount));
  EXPECT_TRUE(warnings_.empty());
}

TEST_F(BlobStoreSessionTest, ValidLocalBlobOfAnEarlierRunIsKept) {
  BlobStoreSession(repo_.path()).ensureEncryptedBlobPresent(source_, key_, codec_, warnings_);
  const std::string stored = readText(localBlob());
  BlobStoreSession session(repo_.path());
  EXPECT_EQ(session.ensureEncryptedBlobPresent(source_, key_, codec_, warnings_),
            encrypted(true, static_cast<std::int64_t>(stored.size())));
  EXPECT_EQ(readText(localBlob()), stored);  // fresh nonces would have changed the bytes
  EXPECT_TRUE(warnings_.empty());
}

TEST_F(BlobStoreSessionTest, DamagedLocalBlobIsRewrittenWithOneWarning) {
  struct Case {
    const char* name;
    std::function<void(const fs::path& blob)> damage;
    std::string warning;
  };
  const Case cases[] = {
      {"byte flipped",
       [](const fs::path& blob) {
         std::string bytes = readText(blob);
         bytes[bytes.size() - 3] ^= 0x40;
         writeText(blob, bytes);
       },
       "Existing encrypted blob could not be authenticated; rewriting"},
      {"truncated", [](const fs::path& blob) { fs::resize_file(blob, 10); },
       "Existing encrypted blob could not be authenticated; rewriting"},
      {"not a blob", [](const fs::path& blob) { writeText(blob, "plain text"); },
       "Existing encrypted blob could not be authenticated; rewriting"},
      {"valid blob of other content", [this](const fs::path& blob) { codec_.sealFile(other_, blob); },
       "Existing encrypted blob content mismatch; rewriting"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BlobStoreSession(repo_.path()).ensureEncryptedBlobPresent(source_, key_, codec_, warnings_);
    c.damage(localBlob());
    std::vector<BackupWarning> warnings;
    BlobStoreSession session(repo_.path());
    BlobWriteResult result = session.ensureEncryptedBlobPresent(source_, key_, codec_, warnings);
    EXPECT_FALSE(result.alreadyPresent);
    EXPECT_EQ(result.byteCount, static_cast<std::int64_t>(fs::file_size(localBlob())));
    EXPECT_EQ(warnings, (std::vector<BackupWarning>{{Kind::general, localBlob().string(), c.warning}}));
    EXPECT_EQ(codec_.blobKeyForEncryptedBlobAt(localBlob()), key_);
    EXPECT_EQ(namesIn(localBlob().parent_path()), std::vector<std::string>{key_});  // no temporary left
  }
}

TEST_F(BlobStoreSessionTest, UnencryptedLocalBlobIsCopiedKeptOrReplacedBySize) {
  const std::int64_t size = static_cast<std::int64_t>(fs::file_size(source_));
  BlobStoreSession session(repo_.path());
  session.ensureRoot();
  EXPECT_EQ(session.ensureBlobPresent(source_, key_, size, warnings_), plain(false, size));
  EXPECT_EQ(readText(localBlob()), readText(source_));
  EXPECT_EQ(session.ensureBlobPresent(source_, key_, size, warnings_), plain(true, size));

  // Only the size is compared in this layout: a same-size file stays.
  writeText(localBlob(), readText(other_));
  EXPECT_EQ(BlobStoreSession(repo_.path()).ensureBlobPresent(source_, key_, size, warnings_), plain(true, size));
  EXPECT_TRUE(warnings_.empty());

  writeText(localBlob(), "short");
  EXPECT_EQ(BlobStoreSession(repo_.path()).ensureBlobPresent(source_, key_, size, warnings_), plain(false, size));
  EXPECT_EQ(
      warnings_,
      (std::vector<BackupWarning>{{Kind::general, localBlob().string(), "Existing blob size mismatch; rewriting"}}));
  EXPECT_EQ(readText(localBlob()), readText(source_));
}

TEST_F(BlobStoreSessionTest, KeysThatAreNotBlobKeysAreRefusedBeforeAnyWrite) {
  auto remote = std::make_shared<LocalRepositoryStorageBackend>(work_.path() / "remote");
  for (const std::string& bad : {std::string("../../../etc/passwd"), std::string("ab"), std::string(64, 'A'),
                                 std::string(63, 'a') + "/", std::string()}) {
    SCOPED_TRACE(bad);
    for (auto backend :
         {std::shared_ptr<RepositoryStorageBackend>(), std::shared_ptr<RepositoryStorageBackend>(remote)}) {
      BlobStoreSession session(repo_.path(), backend);
      for (int encrypted = 0; encrypted < 2; ++encrypted) {
        try {
          if (encrypted) {
            session.ensureEncryptedBlobPresent(source_, bad, codec_, warnings_);
          } else {
            session.ensureBlobPresent(source_, bad, 1, warnings_);
          }
          FAIL() << "accepted";
        } catch (const EngineError& e) {
          EXPECT_EQ(e.kind(), EngineError::Case::ioError);
          EXPECT_EQ(e.message(), "Invalid blob key: " + bad);
        }
      }
    }
  }
  EXPECT_TRUE(fs::is_empty(repo_.path()));
  EXPECT_FALSE(fs::exists(work_.path() / "remote"));
}

// The file changes after its key was planned: what is stored is named by what was sealed.
TEST_F(BlobStoreSessionTest, ContentEditedAfterPlanningIsStoredUnderItsOwnKey) {
  auto remote = std::make_shared<LocalRepositoryStorageBackend>(work_.path() / "remote");
  fs::create_directories(work_.path() / "remote");
  for (auto backend :
       {std::shared_ptr<RepositoryStorageBackend>(), std::shared_ptr<RepositoryStorageBackend>(remote)}) {
    SCOPED_TRACE(backend ? "remote" : "local");
    const fs::path store = backend ? work_.path() / "remote" : repo_.path();
    writeText(source_, "the same content in two files");
    BlobStoreSession session(repo_.path(), backend);
    session.ensureRoot();
    writeText(source_, "edited after planning, and longer than before");
    const std::string editedKey = codec_.blobKeyForFile(source_, {});
    BlobWriteResult result = session.ensureEncryptedBlobPresent(source_, key_, codec_, warnings_);
    EXPECT_TRUE(result.contentChanged);
    EXPECT_FALSE(result.alreadyPresent);
    EXPECT_EQ(result.blobKey, editedKey);
    EXPECT_EQ(result.plaintextSize, static_cast<std::int64_t>(fs::file_size(source_)));
    const fs::path stored = store / "blobs" / editedKey.substr(0, 2) / editedKey;
    EXPECT_EQ(result.byteCount, static_cast<std::int64_t>(fs::file_size(stored)));
    EXPECT_EQ(codec_.blobKeyForEncryptedBlobAt(stored), editedKey);
    EXPECT_FALSE(fs::exists(store / "blobs" / key_.substr(0, 2) / key_));
    EXPECT_TRUE(fs::is_empty(repo_.path() / ".upload-staging"));

    // A file whose key was not planned is learnt while sealing; equal contents stay one blob.
    const fs::path copy = work_.path() / "copy.txt";
    writeText(copy, readText(source_));
    BlobWriteResult again = session.ensureEncryptedBlobPresent(copy, codec_, warnings_);
    EXPECT_EQ(again, (BlobWriteResult{true, result.byteCount, editedKey, result.plaintextSize, false}));
    EXPECT_TRUE(warnings_.empty());
    fs::remove_all(store / "blobs");
  }
}

TEST_F(BlobStoreSessionTest, ErrorsOfSealingAndCancellationPassThrough) {
  BlobStoreSession session(repo_.path());
  EXPECT_THROW(session.ensureEncryptedBlobPresent(work_.path() / "missing", key_, codec_, warnings_), PosixError);
  CancellationToken cancel;
  cancel.cancel();
  EXPECT_THROW(session.ensureEncryptedBlobPresent(source_, key_, codec_, warnings_, cancel), CancellationError);
  EXPECT_THROW(session.ensureBlobPresent(source_, key_, 1, warnings_, cancel), CancellationError);
  EXPECT_FALSE(fs::exists(localBlob()));
}

class RemoteBlobTest : public BlobStoreSessionTest {
 protected:
  void SetUp() override {
    BlobStoreSessionTest::SetUp();
    remoteRoot_ = work_.path() / "remote";
    fs::create_directories(remoteRoot_);
    local_ = std::make_shared<LocalRepositoryStorageBackend>(remoteRoot_);
  }
  std::shared_ptr<RecordingStorageBackend> counting() { return std::make_shared<RecordingStorageBackend>(local_); }
  fs::path staging() const { return repo_.path() / "nested" / ".upload-staging"; }
  fs::path stagingRoot() const { return repo_.path() / "nested"; }
  fs::path remoteBlob() const { return remoteRoot_ / objectKey(); }

  fs::path remoteRoot_;
  std::shared_ptr<LocalRepositoryStorageBackend> local_;
};

TEST_F(RemoteBlobTest, UploadsOnceAndLeavesNoStagingFiles) {
  auto backend = counting();
  BlobStoreSession session(stagingRoot(), backend);
  session.ensureRoot();
  EXPECT_TRUE(fs::is_directory(staging()));
  BlobWriteResult result = session.ensureEncryptedBlobPresent(source_, key_, codec_, warnings_);
  EXPECT_FALSE(result.alreadyPresent);
  EXPECT_EQ(result.byteCount, static_cast<std::int64_t>(fs::file_size(remoteBlob())));
  EXPECT_EQ(backend->modes(),
            std::vector<RepositoryObjectWriteMode>{RepositoryObjectWriteMode::createIfAbsent(result.byteCount)});
  EXPECT_EQ(codec_.blobKeyForEncryptedBlobAt(remoteBlob()), key_);
  EXPECT_TRUE(fs::is_empty(staging()));
  EXPECT_FALSE(fs::exists(repo_.path() / "nested" / "blobs"));
  EXPECT_EQ(session.ensureEncryptedBlobPresent(source_, key_, codec_, warnings_), encrypted(true, result.byteCount));
  EXPECT_EQ(backend->writes.size(), 1u);
  EXPECT_EQ(backend->reads.size(), 0u);
}

TEST_F(RemoteBlobTest, ValidStoredObjectIsAuthenticatedAndLeftAsItIs) {
  BlobStoreSession(stagingRoot(), local_).ensureEncryptedBlobPresent(source_, key_, codec_, warnings_);
  const std::string stored = readText(remoteBlob());
  auto backend = counting();
  BlobStoreSession session(stagingRoot(), backend);
  EXPECT_EQ(session.ensureEncryptedBlobPresent(source_, key_, codec_, warnings_),
            encrypted(true, static_cast<std::int64_t>(stored.size())));
  EXPECT_EQ(readText(remoteBlob()), stored);
  EXPECT_EQ(backend->reads.size(), 1u);
  EXPECT_TRUE(fs::is_empty(staging()));
  EXPECT_TRUE(warnings_.empty());
}

TEST_F(RemoteBlobTest, StoredObjectThatDoesNotAuthenticateStopsTheOperationUntouched) {
  struct Case {
    const char* name;
    std::function<void()> plant;
    std::string message;  // empty: the backend's or codec's own error
  };
  const Case cases[] = {
      {"other content", [this] { codec_.sealFile(other_, remoteBlob()); },
       "Existing remote encrypted blob could not be authenticated for " + objectKey() + "."},
      {"damaged bytes",
       [this] {
         codec_.sealFile(source_, remoteBlob());
         std::string bytes = readText(remoteBlob());
         bytes[bytes.size() - 1] ^= 1;
         writeText(remoteBlob(), bytes);
       },
       ""},
      {"other size", [this] { writeText(remoteBlob(), "short"); }, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::create_directories(remoteBlob().parent_path());
    c.plant();
    const std::string planted = readText(remoteBlob());
    BlobStoreSession session(stagingRoot(), local_);
    try {
      session.ensureEncryptedBlobPresent(source_, key_, codec_, warnings_);
      FAIL() << "a stored object that does not authenticate was accepted";
    } catch (const Error& e) {
      if (!c.message.empty()) {
        EXPECT_EQ(e.domain(), "EngineError");
        EXPECT_EQ(e.message(), c.message);
      } else {
        EXPECT_NE(e.message().rfind("Existing remote encrypted blob", 0), 0u) << e.message();
      }
    }
    EXPECT_EQ(readText(remoteBlob()), planted);
    EXPECT_TRUE(fs::is_empty(staging()));
    fs::remove(remoteBlob());
  }
}

TEST_F(RemoteBlobTest, UnencryptedBlobIsUploadedOrFoundBySize) {
  const std::int64_t size = static_cast<std::int64_t>(fs::file_size(source_));
  auto backend = counting();
  BlobStoreSession session(stagingRoot(), backend);
  EXPECT_EQ(session.ensureBlobPresent(source_, key_, size, warnings_), plain(false, size));
  EXPECT_EQ(readText(remoteBlob()), readText(source_));
  EXPECT_EQ(session.ensureBlobPresent(source_, key_, size, warnings_), plain(true, size));
  EXPECT_EQ(backend->writes.size(), 1u);
  EXPECT_EQ(BlobStoreSession(stagingRoot(), local_).ensureBlobPresent(source_, key_, size, warnings_),
            plain(true, size));
  writeText(remoteBlob(), "short");
  EXPECT_THROW(BlobStoreSession(stagingRoot(), local_).ensureBlobPresent(source_, key_, size, warnings_), EngineError);
  EXPECT_EQ(readText(remoteBlob()), "short");
  EXPECT_TRUE(warnings_.empty());
}

TEST_F(BlobStoreSessionTest, RemoteBlobsOnS3) {
  std::unique_ptr<test::S3rverFixture> server;
  try {
    server = std::make_unique<test::S3rverFixture>(std::vector<std::string>{"blobs"});
  } catch (const std::exception& e) {
    GTEST_SKIP() << "s3rver cannot run here: " << e.what();
  }
  auto backend = std::make_shared<S3RepositoryStorageBackend>(server->configuration("blobs"));
  BlobStoreSession session(repo_.path(), backend);
  session.ensureRoot();
  BlobWriteResult written = session.ensureEncryptedBlobPresent(source_, key_, codec_, warnings_);
  EXPECT_FALSE(written.alreadyPresent);
  EXPECT_TRUE(fs::is_empty(repo_.path() / ".upload-staging"));

  BlobStoreSession next(repo_.path(), backend);
  EXPECT_EQ(next.ensureEncryptedBlobPresent(source_, key_, codec_, warnings_), encrypted(true, written.byteCount));
  EXPECT_TRUE(fs::is_empty(repo_.path() / ".upload-staging"));

  // Another blob's sealed bytes (same size) stored under this key are refused, not replaced.
  const fs::path impostor = work_.path() / "impostor";
  codec_.sealFile(other_, impostor);
  server->client("blobs", {"put", objectKey(), impostor.string()});
  try {
    BlobStoreSession(repo_.path(), backend).ensureEncryptedBlobPresent(source_, key_, codec_, warnings_);
    FAIL() << "impostor accepted";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.message(), "Existing remote encrypted blob could not be authenticated for " + objectKey() + ".");
  }
  EXPECT_TRUE(fs::is_empty(repo_.path() / ".upload-staging"));
  const fs::path back = work_.path() / "back";
  backend->readObject(RepositoryObjectKey(objectKey()), back);
  EXPECT_EQ(readText(back), readText(impostor));
  EXPECT_TRUE(warnings_.empty());
}

}  // namespace
}  // namespace tvr
