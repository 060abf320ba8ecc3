#include <gtest/gtest.h>

#include <cstdlib>

#include "engine/crypto/RepositoryCompression.h"
#include "platform/SecureRandom.h"
#include "tests/support/ErrorAssertions.h"
#include "tests/support/Files.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TempDir.h"

namespace tvr {
namespace {

using test::readBytes;
using test::TempDir;
using test::throwsError;
using test::writeBytes;

const char* const kReferenceTool = "/usr/bin/lzfse";

struct Sample {
  const char* name;
  Bytes data;
};

std::vector<Sample> samples() {
  std::string text;
  for (int i = 0; text.size() < 300000; ++i) {
    text += "line " + std::to_string(i % 977) + ": the quick brown fox jumps over the lazy dog\n";
  }
  Bytes oneChunk(1048576);
  for (std::size_t i = 0; i < oneChunk.size(); ++i) {
    oneChunk[i] = static_cast<std::uint8_t>((7 * i + (i >> 12)) % 251);
  }
  Bytes onePlus = oneChunk;
  onePlus.push_back(42);
  return {
      {"text", bytesOf(text)},
      {"random", secureRandomBytes(200000)},
      {"tiny random", secureRandomBytes(5)},
      {"small text", bytesOf("hello, hello, hello, hello\n")},
      {"exactly one chunk", oneChunk},
      {"one chunk plus one byte", onePlus},
      {"empty", {}},
  };
}

void runTool(const std::string& mode, const std::filesystem::path& in, const std::filesystem::path& out) {
  std::string command =
      std::string(kReferenceTool) + " " + mode + " -i '" + in.string() + "' -o '" + out.string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

TEST(RepositoryCompressionTest, RoundTripsThroughBothEntryPoints) {
  RepositoryCompression::Workspace workspace;
  for (const Sample& s : samples()) {
    SCOPED_TRACE(s.name);
    Bytes compressed = RepositoryCompression::compress(s.data);
    EXPECT_EQ(RepositoryCompression::decompress(compressed, s.data.size()), s.data);
    auto reused = workspace.compress(s.data.data(), s.data.size());
    Bytes again(reused.data, reused.data + reused.size);
    auto plain = workspace.decompress(again.data(), again.size(), s.data.size());
    EXPECT_EQ(Bytes(plain.data, plain.data + plain.size), s.data);
  }
}

TEST(RepositoryCompressionTest, ReferenceToolDecodesWhatWeEncode) {
  if (!std::filesystem::exists(kReferenceTool)) GTEST_SKIP() << "no reference lzfse tool";
  TempDir dir;
  for (const Sample& s : samples()) {
    // The reference tool cannot decode an empty result (it fails to allocate its output),
    // so the empty stream is covered by the round trip above only.
    if (s.data.empty()) continue;
    SCOPED_TRACE(s.name);
    writeBytes(dir / "ours.lzfse", RepositoryCompression::compress(s.data));
    runTool("-decode", dir / "ours.lzfse", dir / "decoded");
    EXPECT_EQ(readBytes(dir / "decoded"), s.data);
  }
}

TEST(RepositoryCompressionTest, WeDecodeWhatTheReferenceToolEncodes) {
  if (!std::filesystem::exists(kReferenceTool)) GTEST_SKIP() << "no reference lzfse tool";
  TempDir dir;
  for (const Sample& s : samples()) {
    // The reference tool aborts on an empty input, so the empty sample goes one way only.
    if (s.data.empty()) continue;
    SCOPED_TRACE(s.name);
    writeBytes(dir / "plain", s.data);
    runTool("-encode", dir / "plain", dir / "theirs.lzfse");
    EXPECT_EQ(RepositoryCompression::decompress(readBytes(dir / "theirs.lzfse"), s.data.size()), s.data);
  }
}

TEST(RepositoryCompressionTest, ResultOfTheWrongLengthIsRejected) {
  const test::ExpectedError sizeError{"RepositoryCompression", 1,
                                      "Compressed data did not expand to the expected size."};
  Bytes data = bytesOf("some text that is long enough to be compressed, some text that is");
  Bytes compressed = RepositoryCompression::compress(data);
  Bytes garbage(64, 0x5a);
  struct Case {
    const char* name;
    const Bytes* input;
    std::size_t expectedSize;
  };
  const Case cases[] = {
      {"one byte more expected", &compressed, data.size() + 1},
      {"one byte fewer expected", &compressed, data.size() - 1},
      {"nothing expected", &compressed, 0},
      {"not an LZFSE stream", &garbage, 100},
      {"cut stream", nullptr, data.size()},
  };
  Bytes cut(compressed.begin(), compressed.end() - 4);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes& input = c.input ? *c.input : cut;
    EXPECT_TRUE(throwsError([&] { RepositoryCompression::decompress(input, c.expectedSize); }, sizeError));
  }
}

}  // namespace
}  // namespace tvr
