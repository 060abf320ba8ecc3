#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "engine/crypto/RecoveryKeyWrapping.h"
#include "engine/metadata/RepositoryMetadata.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/JsonDecoding.h"
#include "tests/metadata/MetadataTestSupport.h"
#include "tests/support/ErrorAssertions.h"
#include "tests/support/Files.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TempDir.h"

namespace tvr {
namespace {

namespace fs = std::filesystem;
using test::readJsonFile;
using test::sampleRepository;
using test::supportedEncryption;
using test::TempDir;
using test::throwsError;
using test::writeJsonFile;

constexpr double k20260401T080000Z = 1775030400.0;

RepositoryMetadata supportedMetadata() {
  RepositoryMetadata metadata;
  metadata.formatVersion = 1;
  metadata.minimumReaderVersion = 1;
  metadata.createdAt = k20260401T080000Z;
  metadata.layout = RepositoryMetadata::fixedLayout();
  metadata.encryption = supportedEncryption();
  return metadata;
}

ino_t inodeOf(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  return st.st_ino;
}

TEST(RepositoryMetadataFixture, DecodesTheSampleRepositoryExactly) {
  std::optional<RepositoryMetadata> metadata = RepositoryMetadata::read(sampleRepository());
  ASSERT_TRUE(metadata.has_value());
  EXPECT_EQ(metadata->formatVersion, 1);
  EXPECT_EQ(metadata->minimumReaderVersion, 1);
  EXPECT_EQ(metadata->createdAt, k20260401T080000Z);
  EXPECT_EQ(metadata->layout, RepositoryLayout("catalog.sqlite", "blobs", "hmac-sha256", "blobs"));
  ASSERT_TRUE(metadata->encryption.has_value());
  const RepositoryEncryptionMetadata& encryption = *metadata->encryption;
  EXPECT_EQ(encryption.version, 1);
  EXPECT_EQ(encryption.blobAlgorithm, "AES-256-GCM");
  EXPECT_EQ(encryption.compressionAlgorithm, "LZFSE");
  EXPECT_EQ(encryption.keyDerivationAlgorithm, "HKDF-SHA256");
  ASSERT_TRUE(encryption.recoveryWrappedKey.has_value());
  const WrappedRepositoryKey& wrapped = *encryption.recoveryWrappedKey;
  EXPECT_EQ(wrapped.algorithm, "AES-256-GCM");
  EXPECT_EQ(wrapped.kdf, "PBKDF2-HMAC-SHA256");
  EXPECT_EQ(wrapped.iterations, 210000);
  EXPECT_EQ(hexEncode(wrapped.salt), "71ad40736e913aee6b641aa242509782");
  EXPECT_EQ(hexEncode(wrapped.wrappedKey),
            "688a26132f5535a4dff61bb7e3de20f3b3e9eff07cc0acf5ffae3fd4dd20e3e9f4f37d594183d3f2ac48ba4"
            "2aa6bf2925fbb32cc3a2b2229d6c3f7c7");

  EXPECT_NO_THROW(RepositoryMetadata::validateReadableRepository(sampleRepository()));
  EXPECT_NO_THROW(metadata->validateSupportedForWrite());
}

TEST(RepositoryMetadataFixture, RecoveryPasswordUnwrapsTheSampleRepositoryKey) {
  std::optional<RepositoryMetadata> metadata = RepositoryMetadata::read(sampleRepository());
  ASSERT_TRUE(metadata && metadata->encryption && metadata->encryption->recoveryWrappedKey);
  RepositoryKeyMaterial key =
      RecoveryKeyWrapping::unwrap(*metadata->encryption->recoveryWrappedKey, "river stone lantern 42");
  EXPECT_TRUE(key == test::sampleRepositoryKey());
}

TEST(RepositoryMetadataCoding, EncodesSortedPrettyEscapedAndRoundTrips) {
  RepositoryMetadata metadata = supportedMetadata();
  metadata.encryption->recoveryWrappedKey->salt = Bytes(16, 0xFF);  // Base64 "/////..."
  std::string document = metadata.encodedDocument();
  EXPECT_EQ(RepositoryMetadata::decodeDocument(bytesOf(document)), metadata);
  EXPECT_NE(document.find("\"salt\": \"\\/\\/\\/"), std::string::npos) << document;
  EXPECT_EQ(document.find("\"/"), std::string::npos);
  EXPECT_NE(document.find("\n  \"createdAt\": \"2026-04-01T08:00:00Z\""), std::string::npos);

  std::vector<std::size_t> positions;
  for (const char* key :
       {"\"createdAt\"", "\"encryption\"", "\"blobAlgorithm\"", "\"compressionAlgorithm\"",
        "\"keyDerivationAlgorithm\"", "\"recoveryWrappedKey\"", "\"algorithm\"", "\"iterations\"", "\"kdf\"",
        "\"salt\"", "\"wrappedKey\"", "\"version\"", "\"formatVersion\"", "\"layout\"", "\"blobKeyAlgorithm\"",
        "\"blobsPath\"", "\"catalogPath\"", "\"checkpointStorage\"", "\"minimumReaderVersion\""}) {
    positions.push_back(document.find(key));
    ASSERT_NE(positions.back(), std::string::npos) << key;
  }
  EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end())) << document;

  RepositoryMetadata withoutEncryption = supportedMetadata();
  withoutEncryption.encryption.reset();
  EXPECT_EQ(withoutEncryption.encodedDocument().find("encryption"), std::string::npos);
  EXPECT_EQ(RepositoryMetadata::decodeDocument(bytesOf(withoutEncryption.encodedDocument())), withoutEncryption);
}

TEST(RepositoryMetadataCoding, ReencodingTheFixtureGivesTheSameDocument) {
  RepositoryMetadata metadata = *RepositoryMetadata::read(sampleRepository());
  std::string document = metadata.encodedDocument();
  EXPECT_EQ(nlohmann::json::parse(document), readJsonFile(RepositoryMetadata::url(sampleRepository())));
}

TEST(RepositoryMetadataCoding, MalformedDocumentsFailWithTheDecodersError) {
  const nlohmann::json fixture = readJsonFile(RepositoryMetadata::url(sampleRepository()));
  using Kind = DecodingError::Kind;
  struct Case {
    std::string name;
    std::function<void(nlohmann::json&)> mutate;
    Kind kind;
    std::string message;
  } cases[] = {
      {"missing layout", [](nlohmann::json& j) { j.erase("layout"); }, Kind::keyNotFound,
       "JSON key \"layout\" is missing."},
      {"missing catalogPath", [](nlohmann::json& j) { j["layout"].erase("catalogPath"); }, Kind::keyNotFound,
       "JSON key \"layout.catalogPath\" is missing."},
      {"missing createdAt", [](nlohmann::json& j) { j.erase("createdAt"); }, Kind::keyNotFound,
       "JSON key \"createdAt\" is missing."},
      {"missing salt", [](nlohmann::json& j) { j["encryption"]["recoveryWrappedKey"].erase("salt"); },
       Kind::keyNotFound, "JSON key \"encryption.recoveryWrappedKey.salt\" is missing."},
      {"missing encryption version", [](nlohmann::json& j) { j["encryption"].erase("version"); }, Kind::keyNotFound,
       "JSON key \"encryption.version\" is missing."},
      {"format version as text", [](nlohmann::json& j) { j["formatVersion"] = "1"; }, Kind::typeMismatch,
       "JSON key \"formatVersion\" must be a 64-bit integer."},
      {"fractional reader version", [](nlohmann::json& j) { j["minimumReaderVersion"] = 1.5; }, Kind::typeMismatch,
       "JSON key \"minimumReaderVersion\" must be a 64-bit integer."},
      {"iterations beyond 64 bits",
       [](nlohmann::json& j) {
         j["encryption"]["recoveryWrappedKey"]["iterations"] = std::uint64_t{18446744073709551615u};
       },
       Kind::typeMismatch, "JSON key \"encryption.recoveryWrappedKey.iterations\" must be a 64-bit integer."},
      {"layout as text", [](nlohmann::json& j) { j["layout"] = "fixed"; }, Kind::typeMismatch,
       "JSON key \"layout\" must be an object."},
      {"encryption as array", [](nlohmann::json& j) { j["encryption"] = nlohmann::json::array(); }, Kind::typeMismatch,
       "JSON key \"encryption\" must be an object."},
      {"algorithm as number", [](nlohmann::json& j) { j["encryption"]["blobAlgorithm"] = 256; }, Kind::typeMismatch,
       "JSON key \"encryption.blobAlgorithm\" must be a string."},
      {"fractional seconds", [](nlohmann::json& j) { j["createdAt"] = "2026-01-31T09:30:00.123Z"; },
       Kind::dataCorrupted, "JSON key \"createdAt\" is not a date in the form YYYY-MM-DDTHH:MM:SSZ."},
      {"date with offset", [](nlohmann::json& j) { j["createdAt"] = "2026-01-31T09:30:00+00:00"; }, Kind::dataCorrupted,
       "JSON key \"createdAt\" is not a date in the form YYYY-MM-DDTHH:MM:SSZ."},
      {"date as number", [](nlohmann::json& j) { j["createdAt"] = 796642200; }, Kind::typeMismatch,
       "JSON key \"createdAt\" must be a string."},
      {"unpadded Base64",
       [](nlohmann::json& j) { j["encryption"]["recoveryWrappedKey"]["salt"] = "ca1Ac26ROu5rZBqiQlCXgg"; },
       Kind::dataCorrupted, "JSON key \"encryption.recoveryWrappedKey.salt\" is not valid Base64."},
      {"URL-safe Base64",
       [](nlohmann::json& j) {
         j["encryption"]["recoveryWrappedKey"]["wrappedKey"] = "aIomEy9VNaTf9hu3494g87Pp7_B8wKz1";
       },
       Kind::dataCorrupted, "JSON key \"encryption.recoveryWrappedKey.wrappedKey\" is not valid Base64."},
      {"document is an array", [](nlohmann::json& j) { j = nlohmann::json::array({j}); }, Kind::typeMismatch,
       "The JSON document must be an object."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    nlohmann::json document = fixture;
    c.mutate(document);
    EXPECT_TRUE(throwsError([&] { RepositoryMetadata::decodeDocument(bytesOf(document.dump())); },
                            {"JSONDecoder", static_cast<long>(c.kind), c.message}));
  }

  for (std::string text : {std::string(), std::string("{"), std::string("{\"formatVersion\": 1,}"),
                           std::string("{\"createdAt\": \"\xff\"}"), std::string(200000, '[')}) {
    SCOPED_TRACE(text.substr(0, 20));
    try {
      RepositoryMetadata::decodeDocument(bytesOf(text));
      ADD_FAILURE() << "decoded";
    } catch (const DecodingError& error) {
      EXPECT_EQ(error.domain(), "JSONDecoder");
      EXPECT_EQ(error.kind(), Kind::dataCorrupted);
      EXPECT_EQ(error.message().rfind("The data is not valid JSON (error at byte ", 0), 0u) << error.message();
    }
  }

  // Deep nesting is parsed without recursion and then rejected by type, not by a crash.
  std::string deep = std::string(1000000, '[') + std::string(1000000, ']');
  EXPECT_TRUE(
      throwsError([&] { RepositoryMetadata::decodeDocument(bytesOf(deep)); },
                  {"JSONDecoder", static_cast<long>(Kind::typeMismatch), "The JSON document must be an object."}));
}

TEST(RepositoryMetadataCoding, IgnoresUnknownKeysAndTreatsNullOptionalsAsAbsent) {
  nlohmann::json document = readJsonFile(RepositoryMetadata::url(sampleRepository()));
  RepositoryMetadata expected = RepositoryMetadata::decodeDocument(bytesOf(document.dump()));
  document["comment"] = {{"nested", {1, 2, 3}}};
  document["layout"]["future"] = true;
  document["encryption"]["recoveryWrappedKey"]["hint"] = "none";
  EXPECT_EQ(RepositoryMetadata::decodeDocument(bytesOf(document.dump())), expected);

  document["encryption"]["recoveryWrappedKey"] = nullptr;
  EXPECT_FALSE(RepositoryMetadata::decodeDocument(bytesOf(document.dump())).encryption->recoveryWrappedKey);
  document["encryption"] = nullptr;
  EXPECT_FALSE(RepositoryMetadata::decodeDocument(bytesOf(document.dump())).encryption);
}

TEST(RepositoryMetadataGates, ReadAndWriteGatesCheckInOrder) {
  struct Case {
    std::string name;
    std::function<void(RepositoryMetadata&)> mutate;
    std::string domain;  // empty: passes both gates
    std::string message;
    bool writeOnly = false;
  } cases[] = {
      {"supported", [](RepositoryMetadata&) {}, "", ""},
      {"reader version 0", [](RepositoryMetadata& m) { m.minimumReaderVersion = 0; }, "", ""},
      {"reader version 2", [](RepositoryMetadata& m) { m.minimumReaderVersion = 2; }, "RepositoryMetadata",
       "Repository requires reader version 2, but this reader supports 1."},
      {"reader version first",
       [](RepositoryMetadata& m) {
         m.minimumReaderVersion = 9;
         m.encryption.reset();
       },
       "RepositoryMetadata", "Repository requires reader version 9, but this reader supports 1."},
      {"unencrypted before layout",
       [](RepositoryMetadata& m) {
         m.encryption.reset();
         m.layout = RepositoryLayout(false);
       },
       "RepositoryMetadata", "Unencrypted development repositories are not supported."},
      {"encryption version", [](RepositoryMetadata& m) { m.encryption->version = 2; }, "RepositoryEncryptionMetadata",
       "Repository encryption version 2 is not supported."},
      {"blob algorithm", [](RepositoryMetadata& m) { m.encryption->blobAlgorithm = "aes-256-gcm"; },
       "RepositoryEncryptionMetadata", "Repository encryption algorithm aes-256-gcm is not supported."},
      {"compression", [](RepositoryMetadata& m) { m.encryption->compressionAlgorithm = "zlib"; },
       "RepositoryEncryptionMetadata", "Repository compression algorithm zlib is not supported."},
      {"key derivation", [](RepositoryMetadata& m) { m.encryption->keyDerivationAlgorithm = "HKDF-SHA512"; },
       "RepositoryEncryptionMetadata", "Repository key derivation algorithm HKDF-SHA512 is not supported."},
      {"encryption before blob key algorithm",
       [](RepositoryMetadata& m) {
         m.encryption->version = 3;
         m.layout.blobKeyAlgorithm = "sha256";
       },
       "RepositoryEncryptionMetadata", "Repository encryption version 3 is not supported."},
      {"209999 iterations", [](RepositoryMetadata& m) { m.encryption->recoveryWrappedKey->iterations = 209999; },
       "RepositoryEncryptionMetadata", "Repository recovery key metadata is not supported."},
      {"15-byte salt", [](RepositoryMetadata& m) { m.encryption->recoveryWrappedKey->salt = Bytes(15, 1); },
       "RepositoryEncryptionMetadata", "Repository recovery key metadata is not supported."},
      {"wrapped key cipher", [](RepositoryMetadata& m) { m.encryption->recoveryWrappedKey->algorithm = "AES-128-GCM"; },
       "RepositoryEncryptionMetadata", "Repository recovery key metadata is not supported."},
      {"wrapped key kdf", [](RepositoryMetadata& m) { m.encryption->recoveryWrappedKey->kdf = "scrypt"; },
       "RepositoryEncryptionMetadata", "Repository recovery key metadata is not supported."},
      {"no wrapped key", [](RepositoryMetadata& m) { m.encryption->recoveryWrappedKey.reset(); }, "", ""},
      {"long salt", [](RepositoryMetadata& m) { m.encryption->recoveryWrappedKey->salt = Bytes(64, 1); }, "", ""},
      {"blob key sha256", [](RepositoryMetadata& m) { m.layout.blobKeyAlgorithm = "sha256"; }, "RepositoryMetadata",
       "Repository blob key algorithm sha256 is not supported."},
      {"catalog path case", [](RepositoryMetadata& m) { m.layout.catalogPath = "Catalog.sqlite"; },
       "RepositoryMetadata",
       "Repository layout is not supported. Version 1 requires catalogPath=catalog.sqlite, blobsPath=blobs, "
       "blobKeyAlgorithm=hmac-sha256, checkpointStorage=blobs."},
      {"blobs path", [](RepositoryMetadata& m) { m.layout.blobsPath = "objects"; }, "RepositoryMetadata",
       "Repository layout is not supported. Version 1 requires catalogPath=catalog.sqlite, blobsPath=blobs, "
       "blobKeyAlgorithm=hmac-sha256, checkpointStorage=blobs."},
      {"checkpoint storage", [](RepositoryMetadata& m) { m.layout.checkpointStorage = "catalog"; },
       "RepositoryMetadata",
       "Repository layout is not supported. Version 1 requires catalogPath=catalog.sqlite, blobsPath=blobs, "
       "blobKeyAlgorithm=hmac-sha256, checkpointStorage=blobs."},
      {"format version 2", [](RepositoryMetadata& m) { m.formatVersion = 2; }, "RepositoryMetadata",
       "Repository format version 2 cannot be written by this app version.", true},
      {"format version 0", [](RepositoryMetadata& m) { m.formatVersion = 0; }, "RepositoryMetadata",
       "Repository format version 0 cannot be written by this app version.", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RepositoryMetadata metadata = supportedMetadata();
    c.mutate(metadata);
    if (c.domain.empty()) {
      EXPECT_NO_THROW(metadata.validateSupportedForRead());
      EXPECT_NO_THROW(metadata.validateSupportedForWrite());
      continue;
    }
    if (c.writeOnly) {
      EXPECT_NO_THROW(metadata.validateSupportedForRead());
    } else {
      EXPECT_TRUE(throwsError([&] { metadata.validateSupportedForRead(); }, {c.domain, 1, c.message}));
    }
    EXPECT_TRUE(throwsError([&] { metadata.validateSupportedForWrite(); }, {c.domain, 1, c.message}));
  }
}

TEST(RepositoryMetadataFiles, MissingDocumentReadsAsAbsentAndFailsTheReadableCheck) {
  TempDir dir;
  EXPECT_FALSE(RepositoryMetadata::read(dir.path()).has_value());
  EXPECT_FALSE(RepositoryMetadata::read(dir.path() / "no" / "such" / "root").has_value());
  EXPECT_TRUE(throwsError([&] { RepositoryMetadata::validateReadableRepository(dir.path()); },
                          {"RepositoryMetadata", 1, "Repository is missing repo.json."}));

  // Anything other than absence is a failure, not "no metadata".
  fs::create_directory(dir.path() / "repo.json");
  EXPECT_TRUE(throwsError(
      [&] { RepositoryMetadata::read(dir.path()); },
      {"EngineError", 0, "The file at " + (dir.path() / "repo.json").string() + " is not a regular file."}));
}

TEST(RepositoryMetadataFiles, ReadableCheckAppliesTheReadGate) {
  TempDir dir;
  RepositoryMetadata metadata = supportedMetadata();
  metadata.minimumReaderVersion = 2;
  writeFileAtomically(RepositoryMetadata::url(dir.path()), metadata.encodedDocument());
  EXPECT_TRUE(
      throwsError([&] { RepositoryMetadata::validateReadableRepository(dir.path()); },
                  {"RepositoryMetadata", 1, "Repository requires reader version 2, but this reader supports 1."}));
}

TEST(RepositoryMetadataFiles, EnsureWritableCreatesANewDocumentAtomically) {
  TempDir dir;
  fs::path root = dir.path() / "nested" / "repository";
  RepositoryEncryptionMetadata encryption = supportedEncryption();
  RepositoryMetadata created = RepositoryMetadata::ensureWritableRepository(root, encryption, k20260401T080000Z + 0.75);

  EXPECT_EQ(created.formatVersion, 1);
  EXPECT_EQ(created.minimumReaderVersion, 1);
  EXPECT_EQ(created.createdAt, k20260401T080000Z);
  EXPECT_EQ(created.layout, RepositoryMetadata::fixedLayout());
  EXPECT_EQ(created.encryption, encryption);
  EXPECT_EQ(RepositoryMetadata::read(root), created);
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(root)) names.push_back(entry.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"repo.json"});
}

TEST(RepositoryMetadataFiles, EnsureWritableChecksAnExistingDocumentWithoutRewritingIt) {
  TempDir dir;
  RepositoryEncryptionMetadata encryption = supportedEncryption();
  RepositoryMetadata created = RepositoryMetadata::ensureWritableRepository(dir.path(), encryption, 1000);
  fs::path file = RepositoryMetadata::url(dir.path());
  Bytes before = readFileBytes(file);
  ino_t inode = inodeOf(file);

  EXPECT_EQ(RepositoryMetadata::ensureWritableRepository(dir.path(), encryption, 2000), created);
  EXPECT_EQ(readFileBytes(file), before);
  EXPECT_EQ(inodeOf(file), inode);

  RepositoryEncryptionMetadata otherKey = encryption;
  otherKey.recoveryWrappedKey->wrappedKey[59] ^= 1;
  EXPECT_TRUE(
      throwsError([&] { RepositoryMetadata::ensureWritableRepository(dir.path(), otherKey); },
                  {"RepositoryMetadata", 1, "Repository encryption settings do not match the requested backup mode."}));
  RepositoryEncryptionMetadata noWrappedKey = encryption;
  noWrappedKey.recoveryWrappedKey.reset();
  EXPECT_TRUE(
      throwsError([&] { RepositoryMetadata::ensureWritableRepository(dir.path(), noWrappedKey); },
                  {"RepositoryMetadata", 1, "Repository encryption settings do not match the requested backup mode."}));
  EXPECT_EQ(readFileBytes(file), before);
}

TEST(RepositoryMetadataFiles, EnsureWritableRefusesWhatItCannotWrite) {
  TempDir dir;
  fs::path fresh = dir.path() / "fresh";
  EXPECT_TRUE(throwsError([&] { RepositoryMetadata::ensureWritableRepository(fresh, std::nullopt); },
                          {"RepositoryMetadata", 1, "Unencrypted development repositories are not supported."}));
  EXPECT_FALSE(fs::exists(fresh));

  RepositoryMetadata newer = supportedMetadata();
  newer.formatVersion = 2;
  writeFileAtomically(RepositoryMetadata::url(dir.path()), newer.encodedDocument());
  EXPECT_TRUE(
      throwsError([&] { RepositoryMetadata::ensureWritableRepository(dir.path(), supportedEncryption()); },
                  {"RepositoryMetadata", 1, "Repository format version 2 cannot be written by this app version."}));

  writeFileAtomically(RepositoryMetadata::url(dir.path()), std::string("{\"formatVersion\": 1"));
  EXPECT_THROW(RepositoryMetadata::ensureWritableRepository(dir.path(), supportedEncryption()), DecodingError);
  EXPECT_EQ(stringOf(readFileBytes(RepositoryMetadata::url(dir.path()))), "{\"formatVersion\": 1");

  // A root that cannot be created: the folder error passes through and nothing is written.
  writeFileAtomically(dir.path() / "plain-file", std::string("x"));
  EXPECT_THROW(RepositoryMetadata::ensureWritableRepository(dir.path() / "plain-file" / "repo", supportedEncryption()),
               PosixError);
}

}  // namespace
}  // namespace tvr
