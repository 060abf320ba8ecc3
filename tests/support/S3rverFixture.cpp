#include "tests/support/S3rverFixture.h"

#include <unistd.h>

#include <stdexcept>

namespace tvr::test {

std::string s3Client(const std::string& endpoint, const std::string& bucket,
                     const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{python3(), std::string(TVR_SOURCE_DIR) + "/tests/s3/s3_client.py", endpoint, bucket};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return runCommand(argv);
}

S3rverFixture::S3rverFixture(const std::vector<std::string>& buckets, const Options& options) {
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
  if (!options.serviceEndpoint.empty()) {
    argv.push_back("--service-endpoint");
    argv.push_back(options.serviceEndpoint);
  }
  argv.push_back("--silent");
  process_ = std::make_unique<ChildProcess>(argv, directory_.path() / "s3rver.log", options.parent);
  waitUntilListening(*process_, port_, "s3rver");
}

S3StorageConfiguration S3rverFixture::configuration(const std::string& bucket, const std::string& secret) const {
  return S3StorageConfiguration::make(bucket, "us-east-1", endpoint(), kAccessKey, secret);
}

S3RepositoryStorageBackend S3rverFixture::backend(const std::string& bucket) const {
  return S3RepositoryStorageBackend(configuration(bucket));
}

}  // namespace tvr::test
