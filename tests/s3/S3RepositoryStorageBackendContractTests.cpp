// The storage contract every backend shares, run against the S3 backend on s3rver. Each
// store is a fresh bucket; raw access goes through the independent boto3 client.

#include <gtest/gtest.h>

#include <atomic>

#include "tests/storage/RepositoryStorageBackendContract.h"
#include "tests/support/Files.h"
#include "tests/support/S3rverFixture.h"
#include "tests/support/TempDir.h"

namespace tvr {
namespace {

test::S3rverFixture& sharedServer() {
  // Stopped by its destructor at exit.
  static test::S3rverFixture server({});
  return server;
}

class S3Harness : public test::StorageBackendHarness {
 public:
  S3Harness() : bucket_("contract-" + std::to_string(nextBucket_++)), backend_(sharedServer().configuration(bucket_)) {
    sharedServer().client(bucket_, {"create-bucket"});
  }
  RepositoryStorageBackend& backend() override { return backend_; }
  void putRawObject(const std::string& key, const Bytes& data) override {
    auto file = scratch_.path() / "raw";
    writeFileAtomically(file, data);
    sharedServer().client(bucket_, {"put", key, file.string()});
  }
  std::optional<Bytes> rawObject(const std::string& key) override {
    auto file = scratch_.path() / "got";
    std::filesystem::remove(file);
    std::string output = sharedServer().client(bucket_, {"try-get", key, file.string()});
    if (output.find("missing") != std::string::npos) return std::nullopt;
    return readFileBytes(file);
  }
  bool createIfAbsentAcceptsAnyExistingSize() override { return false; }
  std::string sizeMismatchMessage(const std::string& key, std::int64_t actual, std::int64_t expected) override {
    return "Remote object " + key + " exists with size " + std::to_string(actual) + ", expected " +
           std::to_string(expected) + ".";
  }

 private:
  static inline std::atomic<int> nextBucket_{0};
  std::string bucket_;
  test::TempDir scratch_;
  S3RepositoryStorageBackend backend_;
};

INSTANTIATE_TEST_SUITE_P(S3, RepositoryStorageBackendContract,
                         ::testing::Values(test::StorageBackendHarnessFactory{
                             "S3", [] { return std::make_unique<S3Harness>(); }}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tvr
