#include <gtest/gtest.h>

#include "engine/crypto/RepositoryKeyMaterial.h"
#include "tests/support/ErrorAssertions.h"
#include "tests/support/Files.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TempDir.h"

namespace tvr {
namespace {

using test::cryptoVectors;
using test::hexBytes;
using test::throwsError;

TEST(RepositoryKeyMaterialTest, AcceptsExactly32Bytes) {
  for (std::size_t length : {0, 16, 31, 33, 64}) {
    SCOPED_TRACE(length);
    EXPECT_TRUE(throwsError([&] { RepositoryKeyMaterial key{Bytes(length, 1)}; },
                            {"RepositoryKeyMaterial", 1, "Repository keys must be 32 bytes."}));
  }
  RepositoryKeyMaterial key{Bytes(32, 1)};
  EXPECT_EQ(key.rawData().bytes(), Bytes(32, 1));
}

TEST(RepositoryKeyMaterialTest, RandomKeysAre32FreshBytes) {
  RepositoryKeyMaterial a = RepositoryKeyMaterial::random();
  RepositoryKeyMaterial b = RepositoryKeyMaterial::random();
  EXPECT_EQ(a.rawData().size(), RepositoryKeyMaterial::byteCount);
  EXPECT_FALSE(a == b);
  EXPECT_TRUE(a == RepositoryKeyMaterial(a.rawData().bytes()));
}

TEST(RepositoryKeyMaterialTest, DerivedKeysMatchTheIndependentFixture) {
  auto vectors = cryptoVectors();
  RepositoryKeyMaterial key{hexBytes(vectors["repositoryKeyHex"])};
  const std::string_view labels[] = {RepositoryKeyPurpose::pathID, RepositoryKeyPurpose::pathEncryption,
                                     RepositoryKeyPurpose::blobKey, RepositoryKeyPurpose::blobEncryption};
  ASSERT_EQ(vectors["derivedKeysHex"].size(), 4u);
  for (std::string_view label : labels) {
    SCOPED_TRACE(std::string(label));
    SecretBytes derived = key.derivedKey(label);
    EXPECT_EQ(hexEncode(derived.bytes()), vectors["derivedKeysHex"][std::string(label)].get<std::string>());
  }
}

}  // namespace
}  // namespace tvr
