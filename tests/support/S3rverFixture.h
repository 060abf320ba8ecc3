#pragma once

// A real S3-compatible server (s3rver) on 127.0.0.1 with a free port and a temporary data
// folder, plus the boto3 client of tests/s3/s3_client.py to seed and read back buckets
// independently of the code under test. s3rver knows the account "S3RVER"/"S3RVER" but
// does not check signatures (a request signed with a wrong secret passes): signing is
// proved against FaultServer, which does. Shared by the tests and the benchmarks.

#include <memory>
#include <string>
#include <vector>

#include "engine/s3/S3RepositoryStorageBackend.h"
#include "engine/s3/S3StorageConfiguration.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

namespace tvr::test {

// Runs s3_client.py (boto3, an independent signer) against `endpoint` with the bucket
// first, then `arguments`; returns its output and throws when it fails.
std::string s3Client(const std::string& endpoint, const std::string& bucket, const std::vector<std::string>& arguments);

class S3rverFixture {
 public:
  static constexpr const char* kAccessKey = "S3RVER";
  static constexpr const char* kSecret = "S3RVER";

  struct Options {
    // When set, s3rver also takes virtual-hosted requests for <bucket>.s3.<serviceEndpoint>.
    std::string serviceEndpoint;
    ChildProcess::Parent parent = ChildProcess::Parent::thisProcess;
  };

  // Starts the server with `buckets` made; throws std::runtime_error when node or s3rver is
  // missing or the server does not start.
  explicit S3rverFixture(const std::vector<std::string>& buckets, const Options& options);
  explicit S3rverFixture(const std::vector<std::string>& buckets) : S3rverFixture(buckets, Options{}) {}

  std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }

  S3StorageConfiguration configuration(const std::string& bucket, const std::string& secret = kSecret) const;
  S3RepositoryStorageBackend backend(const std::string& bucket) const;
  std::string client(const std::string& bucket, const std::vector<std::string>& arguments) const {
    return s3Client(endpoint(), bucket, arguments);
  }

  // A folder for the test's own files, removed with the fixture.
  const std::filesystem::path& scratch() const { return directory_.path(); }

 private:
  TempDir directory_;
  int port_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace tvr::test
