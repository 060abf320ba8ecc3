#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>

#include "platform/AtomicFileWriter.h"
#include "platform/Bytes.h"
#include "platform/CanonicalJson.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/Iso8601.h"
#include "platform/JsonDecoding.h"
#include "platform/Unicode.h"
#include "tests/support/TempDir.h"

namespace tvr {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

TEST(Base64, RoundTripsAndRejectsMalformedText) {
  for (std::string text : {"", "f", "fo", "foo", "foob", "fooba", "foobar"}) {
    SCOPED_TRACE(text);
    auto decoded = base64Decode(base64Encode(bytesOf(text)));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(stringOf(*decoded), text);
  }
  EXPECT_EQ(base64Encode(bytesOf("foobar")), "Zm9vYmFy");
  EXPECT_EQ(base64Encode(bytesOf("fo")), "Zm8=");
  for (std::string bad : {"Zm8", "Zm8=\n", "Z=m8", "Zm=8", "Zm9v YmFy", "Zm8*", "===="}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(base64Decode(bad).has_value());
  }
}

TEST(Hex, DecodesBothCasesAndRejectsOddOrForeignDigits) {
  EXPECT_EQ(hexEncode(*hexDecode("00ffAB")), "00ffab");
  EXPECT_FALSE(hexDecode("abc").has_value());
  EXPECT_FALSE(hexDecode("zz").has_value());
}

TEST(ISO8601, FormatsAndParsesStrictly) {
  EXPECT_EQ(formatISO8601(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(formatISO8601(1775030400.9), "2026-04-01T08:00:00Z");
  EXPECT_EQ(formatISO8601(-1), "1969-12-31T23:59:59Z");
  EXPECT_EQ(parseISO8601("2026-04-01T08:00:00Z"), 1775030400.0);
  EXPECT_EQ(parseISO8601("2024-02-29T00:00:00Z"), 1709164800.0);
  for (std::string bad : {"2026-04-01T08:00:00.000Z", "2026-04-01T08:00:00+00:00", "2026-04-01 08:00:00Z",
                          "2026-13-01T08:00:00Z", "2025-02-29T00:00:00Z", "2026-04-01T24:00:00Z", ""}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(parseISO8601(bad).has_value());
  }
}

TEST(ISO8601, FormatsTimesBeyondTheTextFormAsItsNearestEnd) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double infinity = std::numeric_limits<double>::infinity();
  struct Case {
    double seconds;
    const char* text;
  } cases[] = {
      {1e300, "9999-12-31T23:59:59Z"},          {infinity, "9999-12-31T23:59:59Z"},
      {253402300800.0, "9999-12-31T23:59:59Z"}, {-1e300, "0001-01-01T00:00:00Z"},
      {-infinity, "0001-01-01T00:00:00Z"},      {nan, "0001-01-01T00:00:00Z"},
      {-62167219200.0, "0001-01-01T00:00:00Z"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(formatISO8601(c.seconds), c.text);
    EXPECT_TRUE(parseISO8601(c.text).has_value());
  }
}

TEST(JsonDecoding, NumbersBeyondADoubleAreTheDecodersOwnError) {
  for (std::string text : {"{\"a\":1e400}", "[-1e309]", "{\"a\":"}) {
    SCOPED_TRACE(text);
    try {
      parseJsonDocument(text);
      ADD_FAILURE() << "parsed";
    } catch (const DecodingError& error) {
      EXPECT_EQ(error.kind(), DecodingError::Kind::dataCorrupted);
    }
  }
}

TEST(CanonicalJson, SortsKeysAtEveryDepthAndEscapesSlashes) {
  nlohmann::json value = {{"b", 1}, {"a", {{"z", "x/y"}, {"c", true}}}, {"é", "ü"}};
  EXPECT_EQ(canonicalJsonString(value), R"({"a":{"c":true,"z":"x\/y"},"b":1,"é":"ü"})");
  EXPECT_EQ(canonicalJsonString({{"k", {1, 2}}}, true), "{\n  \"k\": [\n    1,\n    2\n  ]\n}");
}

TEST(Unicode, ClassifiesAndNormalizes) {
  EXPECT_EQ(unicode::nfc("Ste\xCC\x81phane"), "St\xC3\xA9phane");
  EXPECT_EQ(unicode::lowercased("ÉCOLE İ"), "école i̇");
  EXPECT_TRUE(unicode::containsControlOrFormat("a\x01"));
  EXPECT_TRUE(unicode::containsControlOrFormat("a\xE2\x80\x8B"));  // zero-width space, Cf
  EXPECT_FALSE(unicode::containsControlOrFormat("plain text é"));
  EXPECT_EQ(unicode::graphemeClusterCount("e\xCC\x81\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"), 2u);
  EXPECT_LT(unicode::finderCompare("file2", "file10"), 0);
  EXPECT_EQ(unicode::finderCompare("Apple", "apple"), 0);
}

TEST(AtomicFileWriter, CopiesIntoPlaceAndLeavesNothingOnFailure) {
  TempDir dir;
  fs::path source = dir.path() / "source";
  std::ofstream(source) << "payload";
  fs::path destination = dir.path() / "a" / "b" / "copy";
  AtomicFileWriter::copyFileData(source, destination);
  EXPECT_EQ(stringOf(readFileBytes(destination)), "payload");

  try {
    AtomicFileWriter::copyFileData(dir.path() / "missing", dir.path() / "a" / "other");
    FAIL() << "copied a missing file";
  } catch (const PosixError& e) {
    EXPECT_EQ(e.err(), ENOENT);
    EXPECT_NE(e.message().find("copyfile(blob-data)"), std::string::npos);
  }
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir.path() / "a")) names.push_back(entry.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"b"});
}

}  // namespace
}  // namespace tvr
