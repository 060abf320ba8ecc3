// The primitives the codecs are built on, checked against published test vectors.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/crypto/CryptoPrimitives.h"
#include "tests/support/ErrorAssertions.h"
#include "tests/support/Files.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TempDir.h"

namespace tvr::crypto {
namespace {

using tvr::test::hexBytes;

Bytes range(int first, int last) {
  Bytes out;
  for (int b = first; b <= last; ++b) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

TEST(CryptoPrimitiveVectorsTest, HkdfSha256MatchesRfc5869) {
  struct Case {
    const char* name;
    Bytes ikm, salt, info;
    std::size_t length;
    const char* okm;
  };
  const Case cases[] = {
      {"basic", Bytes(22, 0x0b), range(0x00, 0x0c), range(0xf0, 0xf9), 42,
       "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
      {"longer inputs and outputs", range(0x00, 0x4f), range(0x60, 0xaf), range(0xb0, 0xff), 82,
       "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb41c65e"
       "590e09da3275600c2f09b8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87"},
      {"empty salt and info",
       Bytes(22, 0x0b),
       {},
       {},
       42,
       "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SecretBytes okm = hkdfSHA256(c.ikm, c.salt, c.info, c.length);
    EXPECT_EQ(hexEncode(okm.bytes()), c.okm);
  }
}

TEST(CryptoPrimitiveVectorsTest, HmacSha256MatchesRfc4231) {
  const std::string largeKeyData =
      "This is a test using a larger than block-size key and a larger than block-size data. The "
      "key needs to be hashed before being used by the HMAC algorithm.";
  struct Case {
    const char* name;
    Bytes key, data;
    const char* mac;
  };
  const Case cases[] = {
      {"1", Bytes(20, 0x0b), bytesOf("Hi There"), "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"2 short key", bytesOf("Jefe"), bytesOf("what do ya want for nothing?"),
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {"3", Bytes(20, 0xaa), Bytes(50, 0xdd), "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {"4", range(0x01, 0x19), Bytes(50, 0xcd), "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      {"6 key longer than a block", Bytes(131, 0xaa), bytesOf("Test Using Larger Than Block-Size Key - Hash Key First"),
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {"7 key and data longer than a block", Bytes(131, 0xaa), bytesOf(largeKeyData),
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Digest oneShot = HMACSHA256::compute(SecretBytes(c.key), c.data.data(), c.data.size());
    EXPECT_EQ(hexEncode(oneShot.data(), oneShot.size()), c.mac);
    // Fed byte by byte, as a stream would feed it in pieces.
    HMACSHA256 incremental(SecretBytes(c.key));
    for (std::uint8_t b : c.data) incremental.update(&b, 1);
    Digest pieces = incremental.finish();
    EXPECT_EQ(hexEncode(pieces.data(), pieces.size()), c.mac);
  }
}

TEST(CryptoPrimitiveVectorsTest, Sha256MatchesFips180Examples) {
  Digest empty = sha256(nullptr, 0);
  EXPECT_EQ(hexEncode(empty.data(), empty.size()), tvr::test::cryptoVectors()["sha256OfEmpty"]);
  Bytes abc = bytesOf("abc");
  Digest d = sha256(abc.data(), abc.size());
  EXPECT_EQ(hexEncode(d.data(), d.size()), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// The hex, incremental and file forms give the published digest of the two-block message of
// FIPS 180-2, fed in pieces and read in chunks of awkward sizes.
TEST(CryptoPrimitiveVectorsTest, Sha256HexIncrementalAndFileFormsAgree) {
  const std::string message = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  const std::string expected = "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1";
  EXPECT_EQ(sha256Hex(message), expected);

  SHA256 pieces;
  for (std::size_t at = 0; at < message.size(); at += 7) {
    const std::size_t size = std::min<std::size_t>(7, message.size() - at);
    pieces.update(reinterpret_cast<const std::uint8_t*>(message.data()) + at, size);
  }
  EXPECT_EQ(pieces.finishHex(), expected);

  test::TempDir dir;
  const std::filesystem::path file = dir.path() / "message";
  std::ofstream(file, std::ios::binary) << message;
  for (std::size_t chunk : {std::size_t{0}, std::size_t{1}, std::size_t{55}, std::size_t{64}, std::size_t{1} << 20}) {
    SCOPED_TRACE(chunk);
    EXPECT_EQ(sha256HexOfFile(file, chunk), expected);
  }
  EXPECT_THROW(sha256HexOfFile(dir.path() / "missing", 64), PosixError);
}

// AES-256 test cases 13 to 16 of the GCM submission to NIST (McGrew and Viega).
struct GcmCase {
  const char* name;
  const char* key;
  const char* nonce;
  const char* plaintext;
  const char* aad;
  const char* ciphertext;
  const char* tag;
};

const char* const kGcmKey = "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308";
const GcmCase kGcmCases[] = {
    {"13 empty", "0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000", "", "",
     "", "530f8afbc74536b9a963b4f1c4cb738b"},
    {"14 one block", "0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000",
     "00000000000000000000000000000000", "", "cea7403d4d606b6e074ec5d3baf39d18", "d0d1c8a799996bf0265b98b5d48ab919"},
    {"15 four blocks", kGcmKey, "cafebabefacedbaddecaf888",
     "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449"
     "a6b525b16aedf5aa0de657ba637b391aafd255",
     "",
     "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056"
     "828838c5f61e6393ba7a0abcc9f662898015ad",
     "b094dac5d93471bdec1a502270e3cc6c"},
    {"16 partial block with associated data", kGcmKey, "cafebabefacedbaddecaf888",
     "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449"
     "a6b525b16aedf5aa0de657ba637b39",
     "feedfacedeadbeeffeedfacedeadbeefabaddad2",
     "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056"
     "828838c5f61e6393ba7a0abcc9f662",
     "76fc6ece0f4e1768cddf8853bb2d551b"},
};

TEST(CryptoPrimitiveVectorsTest, AesGcmSealMatchesNistVectors) {
  for (const GcmCase& c : kGcmCases) {
    SCOPED_TRACE(c.name);
    Bytes nonce = hexBytes(c.nonce), plaintext = hexBytes(c.plaintext), aad = hexBytes(c.aad);
    AESGCM cipher(SecretBytes(hexBytes(c.key)));
    Bytes ciphertext(plaintext.size());
    Bytes tag(aesGCMTagSize);
    cipher.seal(nonce.data(), plaintext.data(), plaintext.size(), aad.data(), aad.size(), ciphertext.data(),
                tag.data());
    EXPECT_EQ(hexEncode(ciphertext), c.ciphertext);
    EXPECT_EQ(hexEncode(tag), c.tag);
  }
}

TEST(CryptoPrimitiveVectorsTest, AesGcmOpensNistVectorsAndRejectsAnyChange) {
  for (const GcmCase& c : kGcmCases) {
    SCOPED_TRACE(c.name);
    Bytes combined = hexBytes(std::string(c.nonce) + c.ciphertext + c.tag);
    Bytes aad = hexBytes(c.aad);
    AESGCM cipher(SecretBytes(hexBytes(c.key)));
    EXPECT_EQ(hexEncode(cipher.openCombined(combined.data(), combined.size(), aad.data(), aad.size())), c.plaintext);
    // Every byte of nonce, ciphertext and tag is authenticated, and so is the associated data.
    for (std::size_t i = 0; i < combined.size(); ++i) {
      Bytes altered = combined;
      altered[i] ^= 0x01;
      try {
        cipher.openCombined(altered.data(), altered.size(), aad.data(), aad.size());
        ADD_FAILURE() << "altered byte " << i << " was accepted";
      } catch (const CipherError& error) {
        EXPECT_EQ(error.kind(), CipherError::Case::authenticationFailure);
        EXPECT_EQ(error.message(), "AES-GCM authentication failed.");
      }
    }
    Bytes otherAad = aad;
    otherAad.push_back(0);
    EXPECT_THROW(cipher.openCombined(combined.data(), combined.size(), otherAad.data(), otherAad.size()), CipherError);
  }
}

TEST(CryptoPrimitiveVectorsTest, AesGcmCombinedFormTooShortIsASizeError) {
  AESGCM cipher(SecretBytes(Bytes(32, 1)));
  Bytes combined(27, 0);
  EXPECT_TRUE(test::throwsError([&] { cipher.openCombined(combined.data(), combined.size(), nullptr, 0); },
                                {"CryptoError", 1, "The sealed data is too short for AES-GCM."}));
}

TEST(CryptoPrimitiveVectorsTest, AesGcmSealCombinedUsesFreshNonces) {
  AESGCM cipher(SecretBytes(Bytes(32, 7)));
  Bytes plaintext = bytesOf("same text");
  Bytes a = cipher.sealCombined(plaintext.data(), plaintext.size(), nullptr, 0);
  Bytes b = cipher.sealCombined(plaintext.data(), plaintext.size(), nullptr, 0);
  ASSERT_EQ(a.size(), plaintext.size() + aesGCMOverhead);
  EXPECT_NE(Bytes(a.begin(), a.begin() + 12), Bytes(b.begin(), b.begin() + 12));
  EXPECT_EQ(cipher.openCombined(a.data(), a.size(), nullptr, 0), plaintext);
  EXPECT_EQ(cipher.openCombined(b.data(), b.size(), nullptr, 0), plaintext);
}

}  // namespace
}  // namespace tvr::crypto
