#pragma once

// fault_server.py on 127.0.0.1 with a free port: a stand-in S3 that checks every request's
// Signature Version 4 with botocore's signer, in one of its modes ("s3" is an in-memory S3;
// the others misbehave on purpose), with the log of the requests it received.

#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "engine/s3/S3StorageConfiguration.h"
#include "tests/s3/TestProcess.h"

namespace tvr::testing {

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
  // --service-host HOST).
  explicit FaultServer(const std::string& mode, const std::vector<std::string>& options = {}) {
    port_ = freeLoopbackPort();
    log_ = directory_.path() / "requests.jsonl";
    std::ofstream(log_).close();
    std::vector<std::string> argv{python3(), std::string(TVR_SOURCE_DIR) + "/tests/s3/fault_server.py",
                                  std::to_string(port_), mode, log_.string()};
    argv.insert(argv.end(), options.begin(), options.end());
    process_ = std::make_unique<ChildProcess>(argv, directory_.path() / "server.log");
    waitUntilListening(*process_, port_, "fault_server.py");
  }

  // Every request received, in order: method, path, query, headers, "rejected" (null or the
  // error code the request was refused with).
  std::vector<nlohmann::json> requests() const {
    std::vector<nlohmann::json> out;
    std::ifstream in(log_);
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty()) out.push_back(nlohmann::json::parse(line));
    }
    return out;
  }

  // The requests the server refused (from the `from`th one on), as "METHOD path: code" lines:
  // empty when every signature held. The reasons are in serverOutput().
  std::vector<std::string> rejections(std::size_t from = 0) const {
    std::vector<std::string> out;
    auto all = requests();
    for (std::size_t i = from; i < all.size(); ++i) {
      const auto& request = all[i];
      if (!request["rejected"].is_null()) {
        out.push_back(request["method"].get<std::string>() + " " + request["path"].get<std::string>() + ": " +
                      request["rejected"].get<std::string>());
      }
    }
    return out;
  }

  std::string serverOutput() const { return process_->output(); }
  std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }

  S3StorageConfiguration configuration(const std::string& bucket = "bucket", const std::string& accessKey = kAccessKey,
                                       const std::string& secret = kSecret,
                                       const std::optional<std::string>& sessionToken = std::nullopt) const {
    return S3StorageConfiguration::make(bucket, "us-east-1", endpoint(), accessKey, secret, sessionToken);
  }

  // Runs s3_client.py (boto3, an independent signer) with the endpoint and the bucket first.
  std::string client(const std::string& bucket, const std::vector<std::string>& arguments) const {
    std::vector<std::string> argv{python3(), std::string(TVR_SOURCE_DIR) + "/tests/s3/s3_client.py", endpoint(),
                                  bucket};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runCommand(argv);
  }

 private:
  TemporaryDirectory directory_;
  int port_ = 0;
  std::filesystem::path log_;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace tvr::testing
