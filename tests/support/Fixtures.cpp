#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "platform/Iso8601.h"

namespace tvr::test {

std::filesystem::path fixturesDirectory() { return TVR_FIXTURES_DIR; }

std::filesystem::path sampleRepository() { return fixturesDirectory() / "sample-repository"; }

RepositoryKeyMaterial sampleRepositoryKey() {
  return RepositoryKeyMaterial(hexBytes(cryptoVectors().at("repositoryKeyHex").get<std::string>()));
}

nlohmann::json cryptoVectors() {
  std::ifstream in(fixturesDirectory() / "crypto-vectors.json");
  return nlohmann::json::parse(in);
}

Bytes hexBytes(const std::string& hex) {
  auto decoded = hexDecode(hex);
  EXPECT_TRUE(decoded.has_value()) << "bad hex in test data";
  return decoded.value_or(Bytes{});
}

double iso(const std::string& text) {
  auto seconds = parseISO8601(text);
  EXPECT_TRUE(seconds.has_value()) << "bad date in test data: " << text;
  return seconds.value_or(0);
}

}  // namespace tvr::test
