#pragma once

// The behaviour every RepositoryStorageBackend must show, as one parametrized suite.
// Instantiate it once per backend with a factory of fresh, empty stores:
//
//   class MyHarness : public tvr::test::StorageBackendHarness { ... };
//   INSTANTIATE_TEST_SUITE_P(Mine, RepositoryStorageBackendContract,
//       ::testing::Values(tvr::test::StorageBackendHarnessFactory{
//           "Mine", [] { return std::make_unique<MyHarness>(); }}),
//       [](const auto& info) { return info.param.name; });
//
// Include this header in exactly one source file of a test executable (it defines tests).

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/storage/RepositoryStorageBackend.h"
#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "tests/support/TempDir.h"

namespace tvr::test {

// One fresh store: the backend under test plus direct access to the store's objects that
// bypasses the backend (files under a folder, objects in a bucket through another client).
class StorageBackendHarness {
 public:
  virtual ~StorageBackendHarness() = default;
  virtual RepositoryStorageBackend& backend() = 0;
  virtual void putRawObject(const std::string& key, const Bytes& data) = 0;
  // The object's bytes, or nullopt when there is none.
  virtual std::optional<Bytes> rawObject(const std::string& key) = 0;
  // Whether createIfAbsent without an expected size accepts an existing object of any size
  // (the local folder) or compares it with the source file's size (S3).
  virtual bool createIfAbsentAcceptsAnyExistingSize() { return true; }
  // The backend's own sentence for a createIfAbsent size mismatch.
  virtual std::string sizeMismatchMessage(const std::string& key, std::int64_t actual, std::int64_t expected) {
    return "Existing object " + key + " has size " + std::to_string(actual) + ", expected " + std::to_string(expected) +
           ".";
  }
};

struct StorageBackendHarnessFactory {
  std::string name;
  std::function<std::unique_ptr<StorageBackendHarness>()> make;
};

inline std::ostream& operator<<(std::ostream& out, const StorageBackendHarnessFactory& factory) {
  return out << factory.name;
}

}  // namespace tvr::test

namespace tvr {

class RepositoryStorageBackendContract : public ::testing::TestWithParam<test::StorageBackendHarnessFactory> {
 protected:
  void SetUp() override { harness_ = GetParam().make(); }
  RepositoryStorageBackend& backend() { return harness_->backend(); }
  test::StorageBackendHarness& harness() { return *harness_; }

  std::filesystem::path localFile(const std::string& name, const std::string& contents) {
    std::filesystem::path path = local_.path() / name;
    writeFileAtomically(path, contents);
    return path;
  }
  std::string localContents(const std::filesystem::path& path) { return stringOf(readFileBytes(path)); }

  test::TempDir local_;
  std::unique_ptr<test::StorageBackendHarness> harness_;
};

TEST_P(RepositoryStorageBackendContract, EmptyStoreListsNothingAndHasNoObject) {
  EXPECT_TRUE(backend().listObjectKeys().empty());
  EXPECT_FALSE(backend().objectExists(RepositoryObjectKey("repo.json")));
}

TEST_P(RepositoryStorageBackendContract, ReplaceWritesAndReadReturnsTheBytes) {
  RepositoryObjectKey key("blobs/ab/ab12");
  auto result = backend().writeObject(localFile("in", "twelve bytes"), key, RepositoryObjectWriteMode::replace());
  EXPECT_EQ(result, (RepositoryObjectWriteResult{RepositoryObjectWriteResult::Status::written, 12}));
  EXPECT_TRUE(backend().objectExists(key));
  EXPECT_EQ(harness().rawObject("blobs/ab/ab12"), bytesOf("twelve bytes"));

  std::filesystem::path out = local_.path() / "nested" / "out";
  backend().readObject(key, out);
  EXPECT_EQ(localContents(out), "twelve bytes");

  result = backend().writeObject(localFile("in2", "new"), key, RepositoryObjectWriteMode::replace());
  EXPECT_EQ(result, (RepositoryObjectWriteResult{RepositoryObjectWriteResult::Status::written, 3}));
  EXPECT_EQ(harness().rawObject("blobs/ab/ab12"), bytesOf("new"));
}

TEST_P(RepositoryStorageBackendContract, CreateIfAbsentNeverOverwrites) {
  harness().putRawObject("plans.json", bytesOf("existing!"));  // 9 bytes
  std::filesystem::path source = localFile("in", "other contents");
  struct Case {
    const char* name;
    std::optional<std::int64_t> expected;
    bool fails;
  } cases[] = {{"no expected size", std::nullopt, !harness().createIfAbsentAcceptsAnyExistingSize()},
               {"matching size", 9, false},
               {"other size", 14, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RepositoryObjectKey key("plans.json");
    if (c.fails) {
      try {
        backend().writeObject(source, key, RepositoryObjectWriteMode::createIfAbsent(c.expected));
        ADD_FAILURE() << "expected a size mismatch";
      } catch (const Error& error) {
        // Without an expected size the source's 14 bytes are the expectation.
        EXPECT_EQ(error.message(), harness().sizeMismatchMessage("plans.json", 9, 14));
      }
    } else {
      auto result = backend().writeObject(source, key, RepositoryObjectWriteMode::createIfAbsent(c.expected));
      EXPECT_EQ(result, (RepositoryObjectWriteResult{RepositoryObjectWriteResult::Status::skippedExisting, 9}));
    }
    EXPECT_EQ(harness().rawObject("plans.json"), bytesOf("existing!"));
  }
  auto fresh =
      backend().writeObject(source, RepositoryObjectKey("repo.json"), RepositoryObjectWriteMode::createIfAbsent(14));
  EXPECT_EQ(fresh, (RepositoryObjectWriteResult{RepositoryObjectWriteResult::Status::written, 14}));
}

TEST_P(RepositoryStorageBackendContract, ListIsSortedOnceEachAndFiltersByPrefix) {
  std::string ff = "blobs/ff/ff" + std::string(62, '1');
  std::string zeroA = "blobs/0a/0a" + std::string(62, '2');
  for (const std::string& key :
       {std::string("repo.json"), ff, std::string("plans.json"), zeroA, std::string("catalog.sqlite")}) {
    harness().putRawObject(key, bytesOf(key));
  }
  auto raw = [](const std::vector<RepositoryObjectKey>& keys) {
    std::vector<std::string> out;
    for (const auto& key : keys) out.push_back(key.rawValue());
    return out;
  };
  EXPECT_EQ(raw(backend().listObjectKeys()),
            (std::vector<std::string>{zeroA, ff, "catalog.sqlite", "plans.json", "repo.json"}));
  EXPECT_EQ(raw(backend().listObjectKeys(std::string("blobs/"))), (std::vector<std::string>{zeroA, ff}));
  EXPECT_TRUE(backend().listObjectKeys(std::string("nothing/")).empty());
}

TEST_P(RepositoryStorageBackendContract, DeleteRemovesAndMissingDeleteSucceeds) {
  harness().putRawObject("catalog.sqlite", bytesOf("db"));
  backend().deleteObject(RepositoryObjectKey("catalog.sqlite"));
  EXPECT_FALSE(backend().objectExists(RepositoryObjectKey("catalog.sqlite")));
  EXPECT_EQ(harness().rawObject("catalog.sqlite"), std::nullopt);
  EXPECT_NO_THROW(backend().deleteObject(RepositoryObjectKey("catalog.sqlite")));
}

TEST_P(RepositoryStorageBackendContract, ReadingAMissingObjectLeavesTheDestinationAlone) {
  std::filesystem::path out = localFile("out", "keep me");
  EXPECT_THROW(backend().readObject(RepositoryObjectKey("blobs/00/missing"), out), Error);
  EXPECT_EQ(localContents(out), "keep me");
}

TEST_P(RepositoryStorageBackendContract, CancelledTokenStopsEveryOperation) {
  CancellationToken cancel;
  cancel.cancel();
  RepositoryObjectKey key("repo.json");
  std::filesystem::path source = localFile("in", "x");
  EXPECT_THROW(backend().objectExists(key, cancel), CancellationError);
  EXPECT_THROW(backend().writeObject(source, key, RepositoryObjectWriteMode::replace(), cancel), CancellationError);
  EXPECT_THROW(backend().readObject(key, local_.path() / "out", cancel), CancellationError);
  EXPECT_THROW(backend().deleteObject(key, cancel), CancellationError);
  EXPECT_THROW(backend().listObjectKeys(std::nullopt, cancel), CancellationError);
  EXPECT_EQ(harness().rawObject("repo.json"), std::nullopt);
}

}  // namespace tvr
