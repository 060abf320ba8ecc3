#include "tests/support/FaultServer.h"

#include <fstream>

#include "tests/support/S3rverFixture.h"

namespace tvr::test {

FaultServer::FaultServer(const std::string& mode, const std::vector<std::string>& options) {
  port_ = freeLoopbackPort();
  log_ = directory_.path() / "requests.jsonl";
  std::ofstream(log_).close();
  std::vector<std::string> argv{python3(), std::string(TVR_SOURCE_DIR) + "/tests/s3/fault_server.py",
                                std::to_string(port_), mode, log_.string()};
  argv.insert(argv.end(), options.begin(), options.end());
  process_ = std::make_unique<ChildProcess>(argv, directory_.path() / "server.log");
  waitUntilListening(*process_, port_, "fault_server.py");
}

std::vector<nlohmann::json> FaultServer::requests() const {
  std::vector<nlohmann::json> out;
  std::ifstream in(log_);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) out.push_back(nlohmann::json::parse(line));
  }
  return out;
}

std::vector<std::string> FaultServer::rejections(std::size_t from) const {
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

S3StorageConfiguration FaultServer::configuration(const std::string& bucket, const std::string& accessKey,
                                                  const std::string& secret,
                                                  const std::optional<std::string>& sessionToken) const {
  return S3StorageConfiguration::make(bucket, "us-east-1", endpoint(), accessKey, secret, sessionToken);
}

std::string FaultServer::client(const std::string& bucket, const std::vector<std::string>& arguments) const {
  return s3Client(endpoint(), bucket, arguments);
}

}  // namespace tvr::test
