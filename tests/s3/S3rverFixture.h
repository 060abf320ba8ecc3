#pragma once

// A real S3-compatible server (s3rver) on 127.0.0.1 with a free port and a temporary data
// folder, plus the boto3 client of s3_client.py to seed and read back buckets independently
// of the code under test. s3rver knows the account "S3RVER"/"S3RVER" but does not check
// signatures (a request signed with a wrong secret passes): signing is proved against
// fault_server.py, which does (S3SignatureCheckingTests).

#include <memory>
#include <string>
#include <vector>

#include "engine/s3/S3RepositoryStorageBackend.h"
#include "engine/s3/S3StorageConfiguration.h"
#include "tests/s3/TestProcess.h"

namespace tvr::testing {

class S3rverFixture {
 public:
  static constexpr const char* kAccessKey = "S3RVER";
  static constexpr const char* kSecret = "S3RVER";

  // With `serviceEndpoint` set, s3rver also takes virtual-hosted requests for
  // <bucket>.s3.<serviceEndpoint>.
  explicit S3rverFixture(const std::vector<std::string>& buckets, const std::string& serviceEndpoint = {}) {
    std::string node = findExecutable("node");
    if (node.empty()) {
      throw std::runtime_error("node is not on PATH; run scripts/bootstrap to install Node.js and s3rver");
    }
    std::string s3rver = std::string(TVR_SOURCE_DIR) + "/.deps/s3rver/node_modules/.bin/s3rver";
    if (::access(s3rver.c_str(), R_OK) != 0) {
      throw std::runtime_error("s3rver is missing at " + s3rver + "; run scripts/bootstrap");
    }
    port_ = freeLoopbackPort();
    std::filesystem::create_directories(directory_.path() / "data");
    // s3rver builds continuation tokens with DES, which OpenSSL 3 keeps in its legacy provider.
    std::vector<std::string> argv{node,
                                  "--openssl-legacy-provider",
                                  s3rver,
                                  "--address",
                                  "127.0.0.1",
                                  "--port",
                                  std::to_string(port_),
                                  "--directory",
                                  (directory_.path() / "data").string()};
    for (const auto& bucket : buckets) {
      argv.push_back("--configure-bucket");
      argv.push_back(bucket);
    }
    if (!serviceEndpoint.empty()) {
      argv.push_back("--service-endpoint");
      argv.push_back(serviceEndpoint);
    }
    argv.push_back("--silent");
    process_ = std::make_unique<ChildProcess>(argv, directory_.path() / "s3rver.log");
    waitUntilListening(*process_, port_, "s3rver");
  }

  std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }

  S3StorageConfiguration configuration(const std::string& bucket, const std::string& secret = kSecret) const {
    return S3StorageConfiguration::make(bucket, "us-east-1", endpoint(), kAccessKey, secret);
  }

  S3RepositoryStorageBackend backend(const std::string& bucket) const {
    return S3RepositoryStorageBackend(configuration(bucket));
  }

  // Runs s3_client.py with the endpoint and the bucket first.
  std::string client(const std::string& bucket, const std::vector<std::string>& arguments) const {
    std::vector<std::string> argv{python3(), std::string(TVR_SOURCE_DIR) + "/tests/s3/s3_client.py", endpoint(),
                                  bucket};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runCommand(argv);
  }

  const std::filesystem::path& scratch() const { return directory_.path(); }

 private:
  TemporaryDirectory directory_;
  int port_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace tvr::testing
