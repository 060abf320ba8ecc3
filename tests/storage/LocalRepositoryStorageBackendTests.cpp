#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/storage/BackupCatalogBlobStore.h"
#include "engine/storage/LocalRepositoryStorageBackend.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "tests/storage/RepositoryStorageBackendContract.h"
#include "tests/support/Files.h"
#include "tests/support/RecordingStorageBackend.h"
#include "tests/support/TempDir.h"

namespace tvr {
namespace {

namespace fs = std::filesystem;
using test::directoryListing;
using test::rawKeys;
using test::TempDir;

class LocalHarness : public test::StorageBackendHarness {
 public:
  LocalHarness() : backend_(temp_.path() / "repo") {}
  RepositoryStorageBackend& backend() override { return backend_; }
  void putRawObject(const std::string& key, const Bytes& data) override {
    fs::create_directories((temp_.path() / "repo" / key).parent_path());
    writeFileAtomically(temp_.path() / "repo" / key, data);
  }
  std::optional<Bytes> rawObject(const std::string& key) override {
    fs::path path = temp_.path() / "repo" / key;
    if (!fs::exists(path)) return std::nullopt;
    return readFileBytes(path);
  }

 private:
  TempDir temp_;
  LocalRepositoryStorageBackend backend_;
};

INSTANTIATE_TEST_SUITE_P(Local, RepositoryStorageBackendContract,
                         ::testing::Values(test::StorageBackendHarnessFactory{
                             "Local", [] { return std::make_unique<LocalHarness>(); }}),
                         [](const auto& info) { return info.param.name; });

void put(const fs::path& path, const std::string& contents) {
  fs::create_directories(path.parent_path());
  writeFileAtomically(path, contents);
}

TEST(RepositoryObjectKeyTest, RejectsEmptyAbsoluteAndDotDot) {
  for (const char* raw : {"", "/repo.json", "blobs/../x", "a..b"}) {
    SCOPED_TRACE(raw);
    try {
      RepositoryObjectKey key{std::string(raw)};
      ADD_FAILURE() << "accepted";
    } catch (const EngineError& error) {
      EXPECT_EQ(error.message(), std::string("Invalid repository object key: ") + raw);
    }
  }
  EXPECT_EQ(RepositoryObjectKey("blobs/ab/ab12").rawValue(), "blobs/ab/ab12");
}

TEST(LocalRepositoryStorageBackendTest, MissingRootListsNothing) {
  TempDir temp;
  LocalRepositoryStorageBackend backend(temp / "does-not-exist");
  EXPECT_TRUE(backend.listObjectKeys().empty());
  EXPECT_EQ(backend.displayName(), "Folder");
}

TEST(LocalRepositoryStorageBackendTest, ListSkipsHiddenFilesHiddenFoldersDirectoriesAndLinks) {
  TempDir temp;
  fs::path root = temp / "repo";
  put(root / "repo.json", "{}");
  put(root / ".catalog.sqlite.tmp-1F0C0A5E-3B1D-4E55-9B1A-0123456789AB", "partial");
  put(root / ".hidden" / "inside.txt", "x");
  put(root / "blobs" / ".tmp" / "deep", "x");
  put(root / "blobs" / "ab" / "ab12", "blob");
  fs::create_directories(root / "blobs" / "empty-shard");
  put(temp / "outside.txt", "secret");
  fs::create_symlink(temp / "outside.txt", root / "link-to-outside");
  fs::create_directory_symlink(temp.path(), root / "dir-link");

  LocalRepositoryStorageBackend backend(root);
  EXPECT_EQ(rawKeys(backend.listObjectKeys()), (std::vector<std::string>{"blobs/ab/ab12", "repo.json"}));
}

TEST(LocalRepositoryStorageBackendTest, FilesRejectedByTheContainmentCheckAreSkipped) {
  TempDir temp;
  fs::path root = temp / "repo";
  put(root / "repo.json", "{}");
  put(root / "plans.json", "{}");
  LocalRepositoryStorageBackend backend(
      root, [](const fs::path& file, const fs::path&) { return file.filename() != "plans.json"; });
  EXPECT_EQ(rawKeys(backend.listObjectKeys()), (std::vector<std::string>{"repo.json"}));
}

TEST(LocalRepositoryStorageBackendTest, ListThroughASymlinkedRootGivesRelativeKeys) {
  TempDir temp;
  put(temp / "real" / "blobs" / "cd" / "cd34", "b");
  fs::create_directory_symlink(temp / "real", temp / "alias");
  LocalRepositoryStorageBackend backend(temp / "alias");
  EXPECT_EQ(rawKeys(backend.listObjectKeys()), (std::vector<std::string>{"blobs/cd/cd34"}));
}

TEST(LocalRepositoryStorageBackendTest, ReadsAndWritesDoNotFollowLinksOutOfTheRoot) {
  TempDir temp;
  fs::path root = temp / "repo";
  put(root / "repo.json", "{}");
  put(temp / "elsewhere" / "secret", "secret");
  fs::create_directory_symlink(temp / "elsewhere", root / "blobs");
  LocalRepositoryStorageBackend backend(root);
  fs::path source = temp / "source";
  put(source, "data");
  EXPECT_THROW(backend.readObject(RepositoryObjectKey("blobs/secret"), temp / "copy"), EngineError);
  EXPECT_FALSE(fs::exists(temp / "copy"));
  EXPECT_THROW(backend.writeObject(source, RepositoryObjectKey("blobs/new"), RepositoryObjectWriteMode::replace()),
               EngineError);
  EXPECT_FALSE(fs::exists(temp / "elsewhere" / "new"));

  // An object that is itself a link out of the root: never read through, deleted as a link.
  fs::create_symlink(temp / "elsewhere" / "secret", root / "plans.json");
  EXPECT_THROW(backend.readObject(RepositoryObjectKey("plans.json"), temp / "copy"), EngineError);
  EXPECT_FALSE(fs::exists(temp / "copy"));
  backend.deleteObject(RepositoryObjectKey("plans.json"));
  EXPECT_FALSE(fs::is_symlink(root / "plans.json"));
  EXPECT_EQ(stringOf(readFileBytes(temp / "elsewhere" / "secret")), "secret");
}

TEST(LocalRepositoryStorageBackendTest, FailedCopyLeavesNoTemporaryFileAndKeepsTheObject) {
  TempDir temp;
  fs::path root = temp / "repo";
  put(root / "plans.json", "old");
  LocalRepositoryStorageBackend backend(root);
  try {
    backend.writeObject(temp / "missing-source", RepositoryObjectKey("plans.json"),
                        RepositoryObjectWriteMode::replace());
    ADD_FAILURE() << "copy of a missing file succeeded";
  } catch (const PosixError& error) {
    EXPECT_EQ(error.err(), ENOENT);
    EXPECT_NE(error.message().find("copyfile(blob-data)"), std::string::npos) << error.message();
  }
  EXPECT_EQ(stringOf(readFileBytes(root / "plans.json")), "old");
  EXPECT_EQ(directoryListing(root), (std::vector<std::string>{"plans.json"}));
}

TEST(LocalRepositoryStorageBackendTest, CreateIfAbsentLeavesTheExistingFileUntouched) {
  TempDir temp;
  fs::path root = temp / "repo";
  put(root / "repo.json", "abc");
  struct stat before {};
  ASSERT_EQ(::stat((root / "repo.json").c_str(), &before), 0);
  put(temp / "src", "a longer replacement");
  LocalRepositoryStorageBackend backend(root);
  auto result =
      backend.writeObject(temp / "src", RepositoryObjectKey("repo.json"), RepositoryObjectWriteMode::createIfAbsent());
  EXPECT_EQ(result.status, RepositoryObjectWriteResult::Status::skippedExisting);
  EXPECT_EQ(result.byteCount, 3);
  struct stat after {};
  ASSERT_EQ(::stat((root / "repo.json").c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
}

TEST(BackupCatalogBlobStoreTest, KeyIsSha256Hex) {
  EXPECT_EQ(BackupCatalogBlobStore::blobKey({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(BackupCatalogBlobStore::blobKey(bytesOf("abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(BackupCatalogBlobStoreTest, WritesOnlyWhenTheSizeDiffersAndRemovesQuietly) {
  TempDir temp;
  std::string key = BackupCatalogBlobStore::blobKey(bytesOf("manifest"));
  fs::path path = BackupCatalogBlobStore::blobPath(key, temp.path());
  EXPECT_EQ(path, temp.path() / "blobs" / key.substr(0, 2) / key);

  BackupCatalogBlobStore::writeBlobIfNeeded(bytesOf("manifest"), key, temp.path());
  EXPECT_EQ(stringOf(readFileBytes(path)), "manifest");
  BackupCatalogBlobStore::writeBlobIfNeeded(bytesOf("MANIFEST"), key, temp.path());  // same size: kept
  EXPECT_EQ(stringOf(readFileBytes(path)), "manifest");
  BackupCatalogBlobStore::writeBlobIfNeeded(bytesOf("manifest v2"), key, temp.path());  // other size: rewritten
  EXPECT_EQ(stringOf(readFileBytes(path)), "manifest v2");

  BackupCatalogBlobStore::removeBlobIfExists(key, temp.path());
  EXPECT_FALSE(fs::exists(path));
  EXPECT_NO_THROW(BackupCatalogBlobStore::removeBlobIfExists(key, temp.path()));
}

// A blob named after its bytes once they are written: moved into place, a blob of its size
// already there kept, and on a failure mid-write neither a blob nor a temporary file left.
TEST(BackupCatalogBlobStoreTest, StreamedBlobGoesToTheKeyOfItsBytesOrNowhere) {
  TempDir temp;
  auto writer = [](const std::string& text, bool failMidway) {
    return [=](int fd, const fs::path& temporary) {
      writeFully(fd, text.data(), text.size() / 2, temporary);
      if (failMidway) throw Error("Writer", 3, "read fault");
      writeFully(fd, text.data() + text.size() / 2, text.size() - text.size() / 2, temporary);
      return BackupCatalogBlobStore::blobKey(bytesOf(text));
    };
  };
  const std::string key = BackupCatalogBlobStore::writeBlobStreamed(temp.path(), writer("manifest", false));
  EXPECT_EQ(key, BackupCatalogBlobStore::blobKey(bytesOf("manifest")));
  const fs::path path = BackupCatalogBlobStore::blobPath(key, temp.path());
  EXPECT_EQ(stringOf(readFileBytes(path)), "manifest");

  writeFileAtomically(path, std::string("MANIFEST"));
  EXPECT_EQ(BackupCatalogBlobStore::writeBlobStreamed(temp.path(), writer("manifest", false)), key);
  EXPECT_EQ(stringOf(readFileBytes(path)), "MANIFEST");  // same size: kept

  EXPECT_THROW(BackupCatalogBlobStore::writeBlobStreamed(temp.path(), writer("other manifest", true)), Error);
  EXPECT_EQ(test::treeListing(temp.path()), (std::vector<std::string>{"blobs/", "blobs/" + key.substr(0, 2) + "/",
                                                                      "blobs/" + key.substr(0, 2) + "/" + key}));
}

}  // namespace
}  // namespace tvr
