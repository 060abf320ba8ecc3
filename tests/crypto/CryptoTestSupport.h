#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/SecureRandom.h"

namespace tvr::testing {

// A fresh directory under the system temporary folder, removed with everything in it.
class TemporaryDirectory {
 public:
  TemporaryDirectory() : path_(std::filesystem::temp_directory_path() / ("tvr-crypto-" + newUUIDString())) {
    std::filesystem::create_directories(path_);
  }
  ~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

inline std::filesystem::path fixturesDir() { return TVR_FIXTURES_DIR; }

inline nlohmann::json cryptoVectors() {
  std::ifstream in(fixturesDir() / "crypto-vectors.json");
  return nlohmann::json::parse(in);
}

inline Bytes hexBytes(const std::string& hex) {
  auto decoded = hexDecode(hex);
  EXPECT_TRUE(decoded.has_value()) << "bad hex in test data";
  return decoded.value_or(Bytes{});
}

struct ExpectedError {
  std::string domain;
  long code;
  std::string message;
};

// Runs `body` and checks that it throws tvr::Error with exactly this domain, code and message.
inline void expectError(const std::function<void()>& body, const ExpectedError& expected) {
  try {
    body();
    ADD_FAILURE() << "no error thrown; expected \"" << expected.message << "\"";
  } catch (const Error& error) {
    EXPECT_EQ(error.domain(), expected.domain);
    EXPECT_EQ(error.code(), expected.code);
    EXPECT_EQ(error.message(), expected.message);
  }
}

// Names of the items directly inside a directory, sorted.
inline std::vector<std::string> directoryListing(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

inline void writeFile(const std::filesystem::path& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline Bytes readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace tvr::testing
