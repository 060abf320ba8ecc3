#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "engine/crypto/RepositoryKeyMaterial.h"
#include "engine/metadata/RepositoryEncryptionMetadata.h"
#include "platform/Bytes.h"
#include "platform/CanonicalJson.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"

namespace tvr::testing {

// A fresh directory under the system temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tvr-metadata-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::filesystem::path sampleRepository() {
  return std::filesystem::path(TVR_FIXTURES_DIR) / "sample-repository";
}

inline nlohmann::json readJsonFile(const std::filesystem::path& path) {
  Bytes data = readFileBytes(path);
  return nlohmann::json::parse(data.begin(), data.end());
}

inline void writeJsonFile(const std::filesystem::path& path, const nlohmann::json& value) {
  writeFileAtomically(path, canonicalJsonString(value, true));
}

// The repository key of the sample repository.
inline RepositoryKeyMaterial sampleRepositoryKey() {
  return RepositoryKeyMaterial(*hexDecode("00112233445566778899aabbccddeeff102132435465768798a9bacbdcedfe0f"));
}

inline RepositoryEncryptionMetadata supportedEncryption() {
  RepositoryEncryptionMetadata encryption;
  encryption.version = 1;
  encryption.blobAlgorithm = "AES-256-GCM";
  encryption.compressionAlgorithm = "LZFSE";
  encryption.keyDerivationAlgorithm = "HKDF-SHA256";
  encryption.recoveryWrappedKey =
      WrappedRepositoryKey{"AES-256-GCM", "PBKDF2-HMAC-SHA256", 210000, Bytes(16, 0x11), Bytes(60, 0x22)};
  return encryption;
}

// Runs `body` and checks that it throws a tvr::Error with exactly this domain, code and message.
inline void expectError(const std::function<void()>& body, const std::string& domain, long code,
                        const std::string& message) {
  try {
    body();
    ADD_FAILURE() << "no error; expected: " << message;
  } catch (const Error& error) {
    EXPECT_EQ(error.domain(), domain);
    EXPECT_EQ(error.code(), code);
    EXPECT_EQ(error.message(), message);
  } catch (const std::exception& error) {
    ADD_FAILURE() << "foreign exception: " << error.what();
  }
}

}  // namespace tvr::testing
