#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>

#include "engine/crypto/CryptoPrimitives.h"
#include "engine/crypto/RecoveryKeyWrapping.h"
#include "engine/crypto/RepositoryKeyMaterial.h"
#include "platform/Bytes.h"
#include "platform/Error.h"
#include "tests/support/ErrorAssertions.h"

namespace tvr {
namespace {

using test::throwsError;

RepositoryKeyMaterial sampleKey() {
  return RepositoryKeyMaterial(*hexDecode("00112233445566778899aabbccddeeff102132435465768798a9bacbdcedfe0f"));
}

crypto::CipherError::Case cipherFailure(const WrappedRepositoryKey& wrapped, std::string_view password) {
  try {
    RecoveryKeyWrapping::unwrap(wrapped, password);
  } catch (const crypto::CipherError& error) {
    return error.kind();
  }
  ADD_FAILURE() << "unwrap succeeded";
  return crypto::CipherError::Case::libraryFailure;
}

TEST(RecoveryKeyWrappingDerivation, MatchesPublishedPBKDF2SHA256Vectors) {
  // RFC 7914 section 11 (first 32 bytes of its 64-byte outputs; PBKDF2 emits blocks in
  // order) and the widely published "password"/"salt" vectors.
  struct Case {
    std::string password;
    std::string salt;
    std::int64_t iterations;
    std::string expectedHex;
  } cases[] = {
      {"passwd", "salt", 1, "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"},
      {"Password", "NaCl", 80000, "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"},
      {"password", "salt", 1, "120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b"},
      {"password", "salt", 4096, "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.password + "/" + c.salt + "/" + std::to_string(c.iterations));
    SecretBytes key = RecoveryKeyWrapping::deriveWrappingKey(c.password, bytesOf(c.salt), c.iterations);
    EXPECT_EQ(hexEncode(key.bytes()), c.expectedHex);
  }
}

TEST(RecoveryKeyWrappingDerivation, RefusesCountsPBKDF2CannotTakeExactly) {
  for (std::int64_t iterations : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{2147483648}, std::int64_t{4294967296},
                                  std::numeric_limits<std::int64_t>::max()}) {
    SCOPED_TRACE(iterations);
    EXPECT_TRUE(throwsError([&] { RecoveryKeyWrapping::deriveWrappingKey("pw", bytesOf("salt"), iterations); },
                            {"RecoveryKeyWrapping", 1, "Failed to derive recovery wrapping key."}));
  }
}

TEST(RecoveryKeyWrapping, WrapsToARecordThatUnwrapsWithTheSamePassword) {
  WrappedRepositoryKey first = RecoveryKeyWrapping::wrap(sampleKey(), "correct horse", 210000);
  EXPECT_EQ(first.algorithm, "AES-256-GCM");
  EXPECT_EQ(first.kdf, "PBKDF2-HMAC-SHA256");
  EXPECT_EQ(first.iterations, 210000);
  EXPECT_EQ(first.salt.size(), 16u);
  EXPECT_EQ(first.wrappedKey.size(), 60u);

  WrappedRepositoryKey second = RecoveryKeyWrapping::wrap(sampleKey(), "correct horse");
  EXPECT_EQ(second.iterations, RecoveryKeyWrapping::defaultIterations);
  EXPECT_NE(first.salt, second.salt);
  EXPECT_NE(first.wrappedKey, second.wrappedKey);

  EXPECT_EQ(RecoveryKeyWrapping::unwrap(first, "correct horse"), sampleKey());
  EXPECT_EQ(RecoveryKeyWrapping::unwrap(second, "correct horse"), sampleKey());
}

TEST(RecoveryKeyWrapping, WrapRejectsCountsOutsideTheSupportedRange) {
  EXPECT_TRUE(throwsError([] { RecoveryKeyWrapping::wrap(sampleKey(), "pw", 209999); },
                          {"RecoveryKeyWrapping", 1, "KDF iterations must be at least 210000."}));
  EXPECT_TRUE(throwsError([] { RecoveryKeyWrapping::wrap(sampleKey(), "pw", 4294967296); },
                          {"RecoveryKeyWrapping", 1, "Failed to derive recovery wrapping key."}));
}

TEST(RecoveryKeyWrapping, UnwrapRejectsUnsupportedRecordsBeforeDeriving) {
  // Garbage salt and key bytes: had anything been derived and decrypted, the cipher's
  // authentication error would show instead of the metadata message.
  WrappedRepositoryKey base{"AES-256-GCM", "PBKDF2-HMAC-SHA256", 210000, Bytes(16, 7), Bytes(60, 9)};
  struct Case {
    std::string name;
    std::string algorithm;
    std::string kdf;
    std::int64_t iterations;
    std::string message;
  } cases[] = {
      {"other cipher", "ChaCha20-Poly1305", base.kdf, 4294967296, "Unsupported wrapped key metadata."},
      {"kdf in another case", base.algorithm, "pbkdf2-hmac-sha256", 210000, "Unsupported wrapped key metadata."},
      {"too few iterations", base.algorithm, base.kdf, 209999, "KDF iterations must be at least 210000."},
      {"negative iterations", base.algorithm, base.kdf, -210000, "KDF iterations must be at least 210000."},
      // Counts that would derive for hours are refused before deriving, with the count.
      {"just above the bound", base.algorithm, base.kdf, 100000001,
       "Repository recovery key iteration count 100000001 is above the supported maximum of 100000000."},
      {"above C int", base.algorithm, base.kdf, 2147483648,
       "Repository recovery key iteration count 2147483648 is above the supported maximum of 100000000."},
      {"int64 max", base.algorithm, base.kdf, std::numeric_limits<std::int64_t>::max(),
       "Repository recovery key iteration count 9223372036854775807 is above the supported maximum of 100000000."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WrappedRepositoryKey wrapped = base;
    wrapped.algorithm = c.algorithm;
    wrapped.kdf = c.kdf;
    wrapped.iterations = c.iterations;
    EXPECT_TRUE(
        throwsError([&] { RecoveryKeyWrapping::unwrap(wrapped, "pw"); }, {"RecoveryKeyWrapping", 1, c.message}));
  }
}

TEST(RecoveryKeyWrapping, WrongPasswordOrAlteredRecordFailsAuthentication) {
  const std::string password = "caf\u00e9 au lait";
  WrappedRepositoryKey wrapped = RecoveryKeyWrapping::wrap(sampleKey(), password, 210000);
  using Case = crypto::CipherError::Case;

  EXPECT_EQ(cipherFailure(wrapped, password + " "), Case::authenticationFailure);
  // The same text in decomposed form is other bytes, so another key.
  EXPECT_EQ(cipherFailure(wrapped, "cafe\u0301 au lait"), Case::authenticationFailure);

  WrappedRepositoryKey alteredSalt = wrapped;
  alteredSalt.salt[0] ^= 1;
  EXPECT_EQ(cipherFailure(alteredSalt, password), Case::authenticationFailure);

  WrappedRepositoryKey alteredCount = wrapped;
  alteredCount.iterations += 1;
  EXPECT_EQ(cipherFailure(alteredCount, password), Case::authenticationFailure);

  WrappedRepositoryKey alteredTag = wrapped;
  alteredTag.wrappedKey.back() ^= 0x80;
  EXPECT_EQ(cipherFailure(alteredTag, password), Case::authenticationFailure);

  WrappedRepositoryKey truncated = wrapped;
  truncated.wrappedKey.resize(27);
  EXPECT_EQ(cipherFailure(truncated, password), Case::incorrectParameterSize);
}

TEST(RecoveryKeyWrapping, UnwrapRejectsADecryptedKeyOfTheWrongLength) {
  WrappedRepositoryKey wrapped{"AES-256-GCM", "PBKDF2-HMAC-SHA256", 210000, Bytes(16, 3), {}};
  SecretBytes wrappingKey = RecoveryKeyWrapping::deriveWrappingKey("pw", wrapped.salt, wrapped.iterations);
  Bytes shortKey(31, 0x42);
  wrapped.wrappedKey = crypto::AESGCM(wrappingKey).sealCombined(shortKey.data(), shortKey.size(), nullptr, 0);
  try {
    RecoveryKeyWrapping::unwrap(wrapped, "pw");
    ADD_FAILURE() << "unwrap accepted a 31-byte key";
  } catch (const Error& error) {
    EXPECT_EQ(error.domain(), "RepositoryKeyMaterial");
    EXPECT_EQ(error.code(), 1);
    EXPECT_EQ(error.message(), "Repository keys must be 32 bytes.");
  }
}

}  // namespace
}  // namespace tvr
