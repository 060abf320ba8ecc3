#include <gtest/gtest.h>

#include "engine/crypto/CryptoPrimitives.h"
#include "engine/crypto/RepositoryPathCodec.h"
#include "tests/support/ErrorAssertions.h"
#include "tests/support/Files.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TempDir.h"

namespace tvr {
namespace {

using test::cryptoVectors;
using test::hexBytes;
using test::throwsError;

RepositoryPathCodec fixtureCodec() {
  return RepositoryPathCodec(RepositoryKeyMaterial(hexBytes(cryptoVectors()["repositoryKeyHex"])));
}

TEST(RepositoryPathCodecTest, PathIDsMatchTheIndependentFixture) {
  auto vectors = cryptoVectors();
  RepositoryPathCodec codec = fixtureCodec();
  ASSERT_FALSE(vectors["pathIDs"].empty());
  for (auto& [path, id] : vectors["pathIDs"].items()) {
    SCOPED_TRACE(path);
    EXPECT_EQ(codec.pathIDForNormalizedPath(path), id.get<std::string>());
  }
}

TEST(RepositoryPathCodecTest, PathIDsIgnoreOuterSlashesButNotCase) {
  RepositoryPathCodec codec(RepositoryKeyMaterial::random());
  const std::string plain = codec.pathIDForNormalizedPath("documents/report.pdf");
  EXPECT_EQ(plain.size(), 64u);
  EXPECT_EQ(plain.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(codec.pathIDForNormalizedPath("/documents/report.pdf"), plain);
  EXPECT_EQ(codec.pathIDForNormalizedPath("documents/report.pdf/"), plain);
  EXPECT_EQ(codec.pathIDForNormalizedPath("///documents/report.pdf//"), plain);
  EXPECT_NE(codec.pathIDForNormalizedPath("Documents/report.pdf"), plain);
  // Inner slashes are part of the path.
  EXPECT_NE(codec.pathIDForNormalizedPath("documents//report.pdf"), plain);
  EXPECT_EQ(codec.pathIDForNormalizedPath("//"), codec.pathIDForNormalizedPath(""));
  // Another repository's key gives other identifiers.
  EXPECT_NE(RepositoryPathCodec(RepositoryKeyMaterial::random()).pathIDForNormalizedPath("documents/report.pdf"),
            plain);
}

TEST(RepositoryPathCodecTest, OpensThePathSealedByTheIndependentImplementation) {
  auto example = cryptoVectors()["sealedPathExample"];
  EXPECT_EQ(fixtureCodec().openPath(hexBytes(example["sealedHex"])), example["path"].get<std::string>());
}

TEST(RepositoryPathCodecTest, SealingTwiceGivesDifferentBytesThatBothOpen) {
  RepositoryPathCodec codec(RepositoryKeyMaterial::random());
  for (const std::string& path :
       std::vector<std::string>{"", "a", "photos/2025/st\xC3\xA9phane.jpg", std::string(5000, 'x')}) {
    SCOPED_TRACE(path.size());
    Bytes a = codec.sealPath(path);
    Bytes b = codec.sealPath(path);
    EXPECT_EQ(a.size(), path.size() + 28);
    EXPECT_NE(a, b);
    EXPECT_EQ(codec.openPath(a), path);
    EXPECT_EQ(codec.openPath(b), path);
  }
}

TEST(RepositoryPathCodecTest, OpenPathFailures) {
  RepositoryPathCodec codec(RepositoryKeyMaterial::random());
  Bytes sealed = codec.sealPath("letters/to grandma.txt");
  Bytes altered = sealed;
  altered[15] ^= 0x80;
  struct Case {
    const char* name;
    std::function<void()> body;
    test::ExpectedError expected;
  };
  const test::ExpectedError authentication{"CryptoError", 2, "AES-GCM authentication failed."};
  const Case cases[] = {
      {"27 bytes",
       [&] { codec.openPath(Bytes(27, 0)); },
       {"CryptoError", 1, "The sealed data is too short for AES-GCM."}},
      {"empty", [&] { codec.openPath(Bytes{}); }, {"CryptoError", 1, "The sealed data is too short for AES-GCM."}},
      {"28 zero bytes", [&] { codec.openPath(Bytes(28, 0)); }, authentication},
      {"another repository's key", [&] { RepositoryPathCodec(RepositoryKeyMaterial::random()).openPath(sealed); },
       authentication},
      {"altered byte", [&] { codec.openPath(altered); }, authentication},
      {"not UTF-8",
       [&] { codec.openPath(codec.sealPath("bad\xFF\xFE")); },
       {"RepositoryPathCodec", 1, "Encrypted repository path is not valid UTF-8."}},
      {"overlong UTF-8",
       [&] { codec.openPath(codec.sealPath("\xC0\xAF")); },
       {"RepositoryPathCodec", 1, "Encrypted repository path is not valid UTF-8."}},
      {"UTF-8 encoded surrogate",
       [&] { codec.openPath(codec.sealPath("\xED\xA0\x80")); },
       {"RepositoryPathCodec", 1, "Encrypted repository path is not valid UTF-8."}},
      {"cut multi-byte sequence",
       [&] { codec.openPath(codec.sealPath("caf\xC3")); },
       {"RepositoryPathCodec", 1, "Encrypted repository path is not valid UTF-8."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(throwsError(c.body, c.expected));
  }
}

TEST(RepositoryPathCodecTest, NormalisationFoldsOnlyForCaseInsensitiveVolumes) {
  const std::string decomposed = "photos/2025/Ste\xCC\x81phane.jpg";    // e + U+0301
  const std::string composedLower = "photos/2025/st\xC3\xA9phane.jpg";  // U+00E9
  struct Case {
    const char* name;
    std::string input;
    bool caseInsensitive;
    std::string expected;
  };
  const Case cases[] = {
      {"decomposed capitals, case-insensitive", decomposed, true, composedLower},
      {"already normal", composedLower, true, composedLower},
      {"decomposed capitals, case-sensitive: unchanged", decomposed, false, decomposed},
      {"capitals, case-sensitive: unchanged", "Documents/Report.PDF", false, "Documents/Report.PDF"},
      {"capitals, case-insensitive", "Documents/Report.PDF", true, "documents/report.pdf"},
      {"dotted capital I keeps the root locale", "I\xC4\xB0", true, "ii\xCC\x87"},
      {"empty", "", true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(normalizedRelPath(c.input, c.caseInsensitive), c.expected);
  }
  // Both spellings of the name reach the same identifier, the fixture's normalised one.
  RepositoryPathCodec codec = fixtureCodec();
  EXPECT_EQ(codec.pathIDForNormalizedPath(normalizedRelPath(decomposed, true)),
            codec.pathIDForNormalizedPath(normalizedRelPath(composedLower, true)));
}

}  // namespace
}  // namespace tvr
