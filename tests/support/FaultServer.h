#pragma once

// tests/s3/fault_server.py on 127.0.0.1 with a free port: a stand-in S3 that checks every
// request's Signature Version 4 with botocore's signer, in one of its modes ("s3" is an
// in-memory S3; the others misbehave on purpose), with the log of the requests it received.
// Shared by the tests and the benchmarks.

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "engine/s3/S3StorageConfiguration.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

namespace tvr::test {

class FaultServer {
 public:
  // The accounts the server knows (ACCOUNTS in fault_server.py). Test credentials only.
  static constexpr const char* kAccessKey = "AKID";
  static constexpr const char* kSecret = "fault-secret-value";
  static constexpr const char* kTemporaryAccessKey = "ASIATEMPORARY";
  static constexpr const char* kTemporarySecret = "temporary-secret-value";
  static constexpr const char* kSessionToken = "IQoJb3JpZ2luX2VjEH0aCXVzLWVhc3QtMSJHMEUCIQD+temporary/token==";
  // The account of s3_client.py.
  static constexpr const char* kClientAccessKey = "S3RVER";

  // `options` follow the mode on the server's command line (--page-size N, --bucket NAME,
  // --service-host HOST). Throws std::runtime_error when the server does not start.
  explicit FaultServer(const std::string& mode, const std::vector<std::string>& options = {});

  // Every request received, in order: method, path, query, headers, "rejected" (null or the
  // error code the request was refused with).
  std::vector<nlohmann::json> requests() const;

  // The requests the server refused (from the `from`th one on), as "METHOD path: code" lines:
  // empty when every signature held. The reasons are in serverOutput().
  std::vector<std::string> rejections(std::size_t from = 0) const;

  std::string serverOutput() const { return process_->output(); }
  std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }

  S3StorageConfiguration configuration(const std::string& bucket = "bucket", const std::string& accessKey = kAccessKey,
                                       const std::string& secret = kSecret,
                                       const std::optional<std::string>& sessionToken = std::nullopt) const;

  // Runs s3_client.py (boto3, an independent signer) with the endpoint and the bucket first.
  std::string client(const std::string& bucket, const std::vector<std::string>& arguments) const;

 private:
  TempDir directory_;
  int port_ = 0;
  std::filesystem::path log_;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace tvr::test
