#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "engine/s3/S3HTTPFailureError.h"
#include "engine/s3/S3RepositoryStorageBackend.h"
#include "platform/Error.h"
#include "tests/support/Files.h"
#include "tests/support/RecordingStorageBackend.h"
#include "tests/support/S3rverFixture.h"
#include "tests/support/TempDir.h"

namespace tvr {
namespace {

using test::lines;
using test::rawKeys;
using test::S3rverFixture;
using test::writeText;
using Status = RepositoryObjectWriteResult::Status;

// One server for the whole suite: starting node costs about a second.
class S3RepositoryStorageBackendTests : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new S3rverFixture({"roundtrip", "paging", "existing", "missing"}); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  test::TempDir local_;
  static S3rverFixture* server_;
};
S3rverFixture* S3RepositoryStorageBackendTests::server_ = nullptr;

TEST_F(S3RepositoryStorageBackendTests, RoundTripsUnusualKeysAgainstAnIndependentClient) {
  auto backend = server_->backend("roundtrip");
  EXPECT_EQ(backend.displayName(), "S3");
  const std::vector<std::string> keys = {"blobs/ab/a b+c.bin", "notes/d\xC3\xA9j\xC3\xA0 vu \xE2\x9C\x93.txt",
                                         "plus+plus", "repo.json", "x/~tilde_(paren)!*'.txt"};
  // Uploaded by the backend, read back by boto3.
  for (const auto& key : keys) {
    SCOPED_TRACE(key);
    auto source = local_.path() / "up.bin";
    writeText(source, "content of " + key);
    auto mode = key == "repo.json" ? RepositoryObjectWriteMode::replace() : RepositoryObjectWriteMode::createIfAbsent();
    auto result = backend.writeObject(source, RepositoryObjectKey(key), mode);
    EXPECT_EQ(result,
              (RepositoryObjectWriteResult{Status::written, static_cast<std::int64_t>(("content of " + key).size())}));
    auto copy = local_.path() / "boto.bin";
    server_->client("roundtrip", {"get", key, copy.string()});
    EXPECT_EQ(test::readText(copy), "content of " + key);
    EXPECT_TRUE(backend.objectExists(RepositoryObjectKey(key)));
  }
  auto sorted = keys;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(rawKeys(backend.listObjectKeys()), sorted);
  EXPECT_EQ(lines(server_->client("roundtrip", {"list"})), sorted);
  EXPECT_EQ(rawKeys(backend.listObjectKeys("notes/d\xC3\xA9")),
            (std::vector<std::string>{"notes/d\xC3\xA9j\xC3\xA0 vu \xE2\x9C\x93.txt"}));
  EXPECT_EQ(rawKeys(backend.listObjectKeys("")), sorted);

  // Uploaded by boto3, read by the backend; a large object streams through unchanged.
  std::string big(9 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7 + (i >> 12)) % 251);
  writeText(local_.path() / "big.bin", big);
  server_->client("roundtrip", {"put", "blobs/ff/big object", (local_.path() / "big.bin").string()});
  auto destination = local_.path() / "out" / "big.bin";
  backend.readObject(RepositoryObjectKey("blobs/ff/big object"), destination);
  EXPECT_EQ(test::readText(destination), big);
  // Nothing but the object is left beside it.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(destination.parent_path()),
                          std::filesystem::directory_iterator()),
            1);

  // A replace upload of a large file, checked by boto3.
  std::reverse(big.begin(), big.end());
  writeText(local_.path() / "big2.bin", big);
  EXPECT_EQ(backend.writeObject(local_.path() / "big2.bin", RepositoryObjectKey("blobs/ff/big object"),
                                RepositoryObjectWriteMode::replace()),
            (RepositoryObjectWriteResult{Status::written, static_cast<std::int64_t>(big.size())}));
  server_->client("roundtrip", {"get", "blobs/ff/big object", (local_.path() / "check.bin").string()});
  EXPECT_EQ(test::readText(local_.path() / "check.bin"), big);
}

TEST_F(S3RepositoryStorageBackendTests, ListingOfMoreThanOnePage) {
  // s3rver, like S3, returns at most 1,000 keys per page.
  server_->client("paging", {"put-many", "blobs/0a/k", "1100"});
  server_->client("paging", {"put-many", "other/", "5"});
  auto backend = server_->backend("paging");
  auto all = backend.listObjectKeys();
  ASSERT_EQ(all.size(), 1105u);
  EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
  EXPECT_EQ(all.front().rawValue(), "blobs/0a/k00000");
  EXPECT_EQ(all[1099].rawValue(), "blobs/0a/k01099");
  EXPECT_EQ(all.back().rawValue(), "other/00004");
  EXPECT_EQ(rawKeys(all), lines(server_->client("paging", {"list"})));
  auto blobs = backend.listObjectKeys("blobs/");
  EXPECT_EQ(blobs.size(), 1100u);
  EXPECT_EQ(backend.listObjectKeys("nothing/"), std::vector<RepositoryObjectKey>{});
}

TEST_F(S3RepositoryStorageBackendTests, CreateIfAbsentNeverOverwrites) {
  auto backend = server_->backend("existing");
  server_->client("existing", {"put-text", "blobs/ab/ab12", "old"});
  auto source = local_.path() / "new.bin";
  writeText(source, "new");
  RepositoryObjectKey key("blobs/ab/ab12");

  EXPECT_EQ(backend.writeObject(source, key, RepositoryObjectWriteMode::createIfAbsent()),
            (RepositoryObjectWriteResult{Status::skippedExisting, 3}));
  EXPECT_EQ(backend.writeObject(source, key, RepositoryObjectWriteMode::createIfAbsent(3)),
            (RepositoryObjectWriteResult{Status::skippedExisting, 3}));
  try {
    backend.writeObject(source, key, RepositoryObjectWriteMode::createIfAbsent(99));
    ADD_FAILURE() << "size mismatch accepted";
  } catch (const EngineError& error) {
    EXPECT_EQ(std::string(error.what()), "Remote object blobs/ab/ab12 exists with size 3, expected 99.");
  }
  // The local file's size is the expectation when none is given.
  writeText(source, "longer");
  EXPECT_THROW(backend.writeObject(source, key, RepositoryObjectWriteMode::createIfAbsent()), EngineError);
  server_->client("existing", {"get", "blobs/ab/ab12", (local_.path() / "check").string()});
  EXPECT_EQ(test::readText(local_.path() / "check"), "old");

  EXPECT_EQ(backend.writeObject(source, key, RepositoryObjectWriteMode::replace()),
            (RepositoryObjectWriteResult{Status::written, 6}));
  server_->client("existing", {"get", "blobs/ab/ab12", (local_.path() / "check").string()});
  EXPECT_EQ(test::readText(local_.path() / "check"), "longer");

  // An unreadable local file fails with the file system error before any upload.
  EXPECT_THROW(
      backend.writeObject(local_.path() / "absent", RepositoryObjectKey("z"), RepositoryObjectWriteMode::replace()),
      PosixError);
  EXPECT_FALSE(backend.objectExists(RepositoryObjectKey("z")));
}

TEST_F(S3RepositoryStorageBackendTests, MissingObjectsAndProviderErrors) {
  auto backend = server_->backend("missing");
  RepositoryObjectKey key("catalog.sqlite");
  EXPECT_FALSE(backend.objectExists(key));
  EXPECT_NO_THROW(backend.deleteObject(key));

  auto destination = local_.path() / "catalog.sqlite";
  writeText(destination, "keep me");
  try {
    backend.readObject(key, destination);
    ADD_FAILURE() << "missing object read";
  } catch (const S3HTTPFailureError& error) {
    EXPECT_EQ(error.domain(), "S3RepositoryStorageBackend");
    EXPECT_EQ(error.code(), 404);
    EXPECT_EQ(std::string(error.what()),
              // The provider's sentence keeps its own period; the message adds one.
              "S3 GET failed with HTTP 404 (NoSuchKey): The specified key does not exist..");
    EXPECT_EQ(error.details().at("S3Method"), "GET");
    EXPECT_EQ(error.details().at("S3ObjectKey"), "catalog.sqlite");
    EXPECT_EQ(error.details().at("S3ErrorCode"), "NoSuchKey");
  }
  EXPECT_EQ(test::readText(destination), "keep me");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(local_.path()), std::filesystem::directory_iterator()),
            1);

  server_->client("missing", {"put-text", "catalog.sqlite", "db"});
  EXPECT_TRUE(backend.objectExists(key));
  backend.deleteObject(key);
  EXPECT_FALSE(backend.objectExists(key));

  // A bucket that does not exist.
  try {
    server_->backend("no-such-bucket").listObjectKeys("blobs/");
    ADD_FAILURE() << "listed a missing bucket";
  } catch (const S3HTTPFailureError& error) {
    EXPECT_EQ(error.code(), 404);
    EXPECT_EQ(error.details().at("S3Method"), "LIST");
    EXPECT_EQ(error.details().at("S3ObjectKey"), "blobs/");
    EXPECT_EQ(error.details().at("S3ErrorCode"), "NoSuchBucket");
    EXPECT_EQ(std::string(error.what()).rfind("S3 LIST failed with HTTP 404 (NoSuchBucket): ", 0), 0u);
  }
}

TEST(S3RepositoryStorageBackendVirtualHostTests, VirtualHostedStyleRoundTrip) {
  // curl resolves every *.localhost name to the loopback address.
  S3rverFixture server({"vhost"}, {.serviceEndpoint = "localhost"});
  auto configuration =
      S3StorageConfiguration::make("vhost", "us-east-1", "http://s3.localhost:" + std::to_string(server.port()),
                                   S3rverFixture::kAccessKey, S3rverFixture::kSecret, std::nullopt, false);
  S3RepositoryStorageBackend backend(configuration);
  EXPECT_EQ(backend.signer().requestTarget(RepositoryObjectKey("a b")).url,
            "http://vhost.s3.localhost:" + std::to_string(server.port()) + "/a%20b");
  test::TempDir local;
  writeText(local.path() / "up", "virtually hosted");
  backend.writeObject(local.path() / "up", RepositoryObjectKey("dir/a b+c"),
                      RepositoryObjectWriteMode::createIfAbsent());
  EXPECT_EQ(rawKeys(backend.listObjectKeys()), (std::vector<std::string>{"dir/a b+c"}));
  server.client("vhost", {"get", "dir/a b+c", (local.path() / "down").string()});
  EXPECT_EQ(test::readText(local.path() / "down"), "virtually hosted");
  backend.readObject(RepositoryObjectKey("dir/a b+c"), local.path() / "again");
  EXPECT_EQ(test::readText(local.path() / "again"), "virtually hosted");
}

}  // namespace
}  // namespace tvr
