#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "engine/crypto/RepositoryKeyMaterial.h"
#include "platform/Bytes.h"

namespace tvr::test {

// The checked-in test data under tests/fixtures.
std::filesystem::path fixturesDirectory();
// The shared sample repository (read-only: copy it before changing anything).
std::filesystem::path sampleRepository();
// The repository key of the sample repository ("repositoryKeyHex" of crypto-vectors.json).
RepositoryKeyMaterial sampleRepositoryKey();
// The parsed crypto-vectors.json.
nlohmann::json cryptoVectors();

// Bytes of a hex string of test data; a malformed one fails the test and gives no bytes.
Bytes hexBytes(const std::string& hex);
// Unix seconds of a strict ISO 8601 text ("2026-01-01T00:00:00Z"); a malformed one fails
// the test and gives 0.
double iso(const std::string& text);

}  // namespace tvr::test
