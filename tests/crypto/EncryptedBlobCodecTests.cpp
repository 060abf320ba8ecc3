#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <mutex>
#include <optional>

#include "engine/crypto/CryptoPrimitives.h"
#include "engine/crypto/EncryptedBlobCodec.h"
#include "engine/crypto/RepositoryCompression.h"
#include "platform/FileSystem.h"
#include "platform/SecureRandom.h"
#include "tests/support/ErrorAssertions.h"
#include "tests/support/Files.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TempDir.h"

namespace tvr {
namespace {

using test::cryptoVectors;
using test::directoryListing;
using test::ExpectedError;
using test::hexBytes;
using test::readBytes;
using test::TempDir;
using test::throwsError;
using test::writeBytes;

constexpr std::size_t MiB = 1048576;

ExpectedError blobError(const char* message) { return {"EncryptedBlobCodec", 1, message}; }
const ExpectedError kAuthentication{"CryptoError", 2, "AES-GCM authentication failed."};
const ExpectedError kCipherSize{"CryptoError", 1, "The sealed data is too short for AES-GCM."};
const ExpectedError kExpansion{"RepositoryCompression", 1, "Compressed data did not expand to the expected size."};

RepositoryKeyMaterial fixtureKey() { return RepositoryKeyMaterial(hexBytes(cryptoVectors()["repositoryKeyHex"])); }

// The content of the sample repository's video/clip.bin.
Bytes clipContent() {
  Bytes out(MiB + 1);
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<std::uint8_t>((7 * i + (i >> 12)) % 251);
  }
  return out;
}

// Compressible but not trivial plaintext.
Bytes patterned(std::size_t size, unsigned seed = 1) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) {
    out[i] = static_cast<std::uint8_t>((i * seed + (i >> 9) * 31) % 97);
  }
  return out;
}

void putBE(Bytes& out, std::size_t at, std::uint64_t value, int width) {
  for (int i = width - 1; i >= 0; --i, value >>= 8) out[at + i] = static_cast<std::uint8_t>(value);
}

void appendBE(Bytes& out, std::uint64_t value, int width) {
  out.resize(out.size() + width);
  putBE(out, out.size() - width, value, width);
}

std::uint64_t getBE(const Bytes& in, std::size_t at, int width) {
  std::uint64_t value = 0;
  for (int i = 0; i < width; ++i) value = (value << 8) | in[at + i];
  return value;
}

struct Record {
  std::size_t offset;
  std::size_t size;
  std::uint32_t plaintextLength;
  std::uint8_t final;
};

// Walks the records of a well-formed blob.
std::vector<Record> recordsOf(const Bytes& blob) {
  std::vector<Record> records;
  for (std::size_t offset = 20; offset < blob.size();) {
    std::size_t payload = getBE(blob, offset, 4);
    records.push_back({offset, 9 + payload, static_cast<std::uint32_t>(getBE(blob, offset + 4, 4)), blob[offset + 8]});
    offset += 9 + payload;
  }
  return records;
}

Bytes slice(const Bytes& blob, std::size_t offset, std::size_t size) {
  return Bytes(blob.begin() + offset, blob.begin() + offset + size);
}

// A second writer, written from the format alone, to build blobs the codec would never
// write: odd chunk lengths, headers that lie, authentic chunks in the wrong places.
struct CraftedChunk {
  Bytes plaintext;
  std::uint8_t final;
  std::optional<std::uint32_t> plaintextLengthField = std::nullopt;
};

Bytes craftBlob(const RepositoryKeyMaterial& key, std::uint64_t plaintextSizeField,
                const std::vector<CraftedChunk>& chunks, std::uint32_t chunkSizeField = MiB) {
  Bytes blob = bytesOf("BKBLOB2\n");
  appendBE(blob, plaintextSizeField, 8);
  appendBE(blob, chunkSizeField, 4);
  const Bytes header = blob;
  crypto::AESGCM cipher(key.derivedKey("tovarine.blob-encryption.v1"));
  for (std::size_t index = 0; index < chunks.size(); ++index) {
    const CraftedChunk& chunk = chunks[index];
    std::uint32_t lengthField = chunk.plaintextLengthField.value_or(static_cast<std::uint32_t>(chunk.plaintext.size()));
    Bytes aad = header;
    appendBE(aad, index, 8);
    appendBE(aad, lengthField, 4);
    aad.push_back(chunk.final);
    Bytes compressed = RepositoryCompression::compress(chunk.plaintext);
    Bytes payload = cipher.sealCombined(compressed.data(), compressed.size(), aad.data(), aad.size());
    appendBE(blob, payload.size(), 4);
    appendBE(blob, lengthField, 4);
    blob.push_back(chunk.final);
    blob.insert(blob.end(), payload.begin(), payload.end());
  }
  return blob;
}

// A blob with one chunk per piece (the last one final), whatever their lengths; `whole` is
// their plaintext joined.
Bytes craftBlobOfPieces(const RepositoryKeyMaterial& key, const std::vector<Bytes>& pieces, Bytes& whole) {
  std::vector<CraftedChunk> crafted;
  whole.clear();
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    crafted.push_back({pieces[i], static_cast<std::uint8_t>(i + 1 == pieces.size() ? 1 : 0)});
    whole.insert(whole.end(), pieces[i].begin(), pieces[i].end());
  }
  return craftBlob(key, whole.size(), crafted);
}

std::filesystem::path blobPath(const std::filesystem::path& root, const std::string& key) {
  return root / "blobs" / key.substr(0, 2) / key;
}

TEST(EncryptedBlobCodecTest, OpensTheHelloBlobOfTheIndependentImplementation) {
  auto vectors = cryptoVectors();
  EncryptedBlobCodec codec(fixtureKey());
  Bytes blob = hexBytes(vectors["sealedBlobOfHelloHex"]);
  EXPECT_TRUE(EncryptedBlobCodec::isEncryptedBlob(blob));
  EXPECT_EQ(codec.open(blob), bytesOf("hello\n"));

  TempDir dir;
  writeBytes(dir / "blob", blob);
  codec.openFile(dir / "blob", dir / "hello.txt");
  EXPECT_EQ(readBytes(dir / "hello.txt"), bytesOf("hello\n"));
  EXPECT_EQ(codec.blobKeyForEncryptedBlobAt(dir / "blob"), vectors["blobKeys"]["hello\\n"].get<std::string>());
}

TEST(EncryptedBlobCodecTest, BlobKeysMatchTheIndependentFixture) {
  auto keys = cryptoVectors()["blobKeys"];
  EncryptedBlobCodec codec(fixtureKey());
  EXPECT_EQ(codec.blobKeyForPlaintext(bytesOf("hello\n")), keys["hello\\n"].get<std::string>());
  EXPECT_EQ(codec.blobKeyForPlaintext(Bytes{}), keys["empty"].get<std::string>());
  EXPECT_EQ(codec.blobKeyForPlaintext(clipContent()),
            keys["video/clip.bin (1048577 bytes, byte i = (7i + (i >> 12)) mod 251)"].get<std::string>());
}

TEST(EncryptedBlobCodecTest, EveryBlobOfTheSampleRepositoryOpensAndMatchesItsName) {
  const std::filesystem::path repository = test::fixturesDirectory() / "sample-repository";
  EncryptedBlobCodec codec(fixtureKey());
  TempDir dir;
  int count = 0;
  int manifests = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(repository / "blobs")) {
    if (!entry.is_regular_file()) continue;
    const std::string name = entry.path().filename().string();
    SCOPED_TRACE(name);
    ++count;
    EXPECT_TRUE(EncryptedBlobCodec::isEncryptedBlobAt(entry.path()));
    const Bytes sealed = readBytes(entry.path());
    const std::string streamedKey = codec.blobKeyForEncryptedBlobAt(entry.path());
    codec.openFile(entry.path(), dir / "plain");
    Bytes plaintext = readBytes(dir / "plain");
    EXPECT_EQ(codec.blobKeyForPlaintext(plaintext), streamedKey);
    EXPECT_EQ(codec.open(sealed), plaintext);
    // Checkpoint manifests are named by the SHA-256 of their sealed bytes, content blobs by
    // the keyed hash of their plaintext.
    crypto::Digest digest = crypto::sha256(sealed.data(), sealed.size());
    if (hexEncode(digest.data(), digest.size()) == name) {
      ++manifests;
      EXPECT_EQ(stringOf(plaintext).rfind("{\"version\": 1,", 0), 0u);
    } else {
      EXPECT_EQ(streamedKey, name);
    }
  }
  EXPECT_EQ(count, 6);
  EXPECT_EQ(manifests, 1);  // run 2's checkpoint

  // The file contents the fixture describes are each stored under their blob key.
  const Bytes contents[] = {bytesOf("Dear grandma,\n"), bytesOf("not really a jpeg\n"), bytesOf("to be deleted\n"),
                            Bytes{}, clipContent()};
  for (const Bytes& content : contents) {
    SCOPED_TRACE(content.size());
    std::filesystem::path path = blobPath(repository, codec.blobKeyForPlaintext(content));
    ASSERT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(codec.open(readBytes(path)), content);
  }
  // The two-chunk clip was cut the same way this writer cuts.
  std::vector<Record> clipRecords =
      recordsOf(readBytes(blobPath(repository, codec.blobKeyForPlaintext(clipContent()))));
  ASSERT_EQ(clipRecords.size(), 2u);
  EXPECT_EQ(clipRecords[0].plaintextLength, MiB);
  EXPECT_EQ(clipRecords[1].plaintextLength, 1u);
}

TEST(EncryptedBlobCodecTest, SealedLayoutOfEmptyAndChunkBoundaryInputs) {
  EncryptedBlobCodec codec(RepositoryKeyMaterial::random());
  struct Case {
    std::size_t size;
    std::vector<std::pair<std::uint32_t, std::uint8_t>> chunks;  // plaintextLength, final
  };
  const Case cases[] = {
      {0, {{0, 1}}},
      {1, {{1, 1}}},
      {MiB - 1, {{MiB - 1, 1}}},
      {MiB, {{MiB, 1}}},
      {MiB + 1, {{MiB, 0}, {1, 1}}},
      {3 * MiB + 5, {{MiB, 0}, {MiB, 0}, {MiB, 0}, {5, 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    Bytes blob = codec.seal(patterned(c.size));
    ASSERT_GE(blob.size(), 20u);
    EXPECT_EQ(slice(blob, 0, 8), bytesOf("BKBLOB2\n"));
    EXPECT_EQ(getBE(blob, 8, 8), c.size);
    EXPECT_EQ(getBE(blob, 16, 4), MiB);
    std::vector<Record> records = recordsOf(blob);
    ASSERT_EQ(records.size(), c.chunks.size());
    std::size_t end = 20;
    for (std::size_t i = 0; i < records.size(); ++i) {
      EXPECT_EQ(records[i].plaintextLength, c.chunks[i].first);
      EXPECT_EQ(records[i].final, c.chunks[i].second);
      EXPECT_GE(records[i].size, 9u + 28u);
      end = records[i].offset + records[i].size;
    }
    EXPECT_EQ(end, blob.size());
  }
  // An empty input is one record: 12 bytes of LZFSE stream sealed with nonce and tag.
  Bytes empty = codec.seal({});
  EXPECT_EQ(empty.size(), 20u + 9 + 28 + 12);
  EXPECT_EQ(getBE(empty, 20, 4), 40u);
  EXPECT_EQ(codec.open(empty), Bytes{});
}

TEST(EncryptedBlobCodecTest, RoundTripsInMemoryAndStreamedWithOneBlobKey) {
  EncryptedBlobCodec codec(RepositoryKeyMaterial::random());
  TempDir dir;
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, MiB, MiB + 1, 2 * MiB + 77}) {
    SCOPED_TRACE(size);
    Bytes plaintext = size == 1 ? Bytes{0} : patterned(size);
    if (size == 2 * MiB + 77) {
      Bytes noise = secureRandomBytes(MiB / 2);  // incompressible middle part
      std::copy(noise.begin(), noise.end(), plaintext.begin() + MiB / 2);
    }
    const std::string key = codec.blobKeyForPlaintext(plaintext);
    writeBytes(dir / "plain", plaintext);
    EXPECT_EQ(codec.blobKeyForFile(dir / "plain", {}), key);

    Bytes inMemory = codec.seal(plaintext);
    Bytes again = codec.seal(plaintext);
    EXPECT_NE(inMemory, again);
    EXPECT_EQ(codec.open(again), plaintext);

    codec.sealFile(dir / "plain", dir / "sealed");
    Bytes streamed = readBytes(dir / "sealed");
    EXPECT_EQ(streamed.size(), inMemory.size());  // same cut, same compression
    EXPECT_EQ(codec.open(streamed), plaintext);
    EXPECT_EQ(codec.blobKeyForEncryptedBlobAt(dir / "sealed"), key);

    writeBytes(dir / "memory-sealed", inMemory);
    codec.openFile(dir / "memory-sealed", dir / "opened");
    EXPECT_EQ(readBytes(dir / "opened"), plaintext);
    EXPECT_EQ(codec.blobKeyForEncryptedBlobAt(dir / "memory-sealed"), key);
  }
  EXPECT_EQ(directoryListing(dir.path()), (std::vector<std::string>{"memory-sealed", "opened", "plain", "sealed"}));
}

TEST(EncryptedBlobCodecTest, ReadersAcceptAnyChunkLengthsThatAddUp) {
  RepositoryKeyMaterial key = RepositoryKeyMaterial::random();
  EncryptedBlobCodec codec(key);
  Bytes a = patterned(10), b, c = patterned(20, 3);
  Bytes blob = craftBlob(key, 30, {{a, 0}, {b, 0}, {c, 1}});
  Bytes expected = a;
  expected.insert(expected.end(), c.begin(), c.end());
  EXPECT_EQ(codec.open(blob), expected);
  TempDir dir;
  writeBytes(dir / "blob", blob);
  codec.openFile(dir / "blob", dir / "out");
  EXPECT_EQ(readBytes(dir / "out"), expected);
  EXPECT_EQ(codec.blobKeyForEncryptedBlobAt(dir / "blob"), codec.blobKeyForPlaintext(expected));
}

// Damaged, truncated, reordered, oversized and lying blobs: the message in memory and when
// streamed (openFile and blobKeyForEncryptedBlobAt), and nothing left behind.
TEST(EncryptedBlobCodecTest, DamagedBlobsFailWithTheirMessage) {
  RepositoryKeyMaterial key = RepositoryKeyMaterial::random();
  EncryptedBlobCodec codec(key);
  const Bytes plaintext = patterned(2 * MiB + 100);
  const Bytes base = codec.seal(plaintext);
  const std::vector<Record> records = recordsOf(base);
  ASSERT_EQ(records.size(), 3u);
  const Bytes fromLargerBlob = codec.seal(patterned(2 * MiB + 101));

  auto mutated = [&](auto change) {
    Bytes blob = base;
    change(blob);
    return blob;
  };
  const ExpectedError unexpectedEnd = blobError("Unexpected end of encrypted blob.");
  const ExpectedError missingFinal = blobError("Encrypted blob is missing a final chunk.");
  const ExpectedError trailing = blobError("Encrypted blob has trailing data after the final chunk.");
  const ExpectedError mismatch = blobError("Encrypted blob plaintext size mismatch.");
  const ExpectedError tooLarge = blobError("Encrypted blob chunk is too large.");

  struct Case {
    const char* name;
    Bytes blob;
    ExpectedError inMemory;
    ExpectedError streamed;
    bool otherKey = false;
  };
  const std::vector<Case> cases = {
      {"only the header", slice(base, 0, 20), missingFinal, unexpectedEnd},
      {"shorter than a header", slice(base, 0, 10), blobError("Encrypted blob has an unsupported header."),
       unexpectedEnd},
      {"empty file", Bytes{}, blobError("Encrypted blob has an unsupported header."), unexpectedEnd},
      {"wrong magic", mutated([](Bytes& b) { b[7] = 'X'; }), blobError("Encrypted blob has an unsupported header."),
       blobError("Encrypted blob has an unsupported header.")},
      {"chunk size 65536 with chunks that decrypt", craftBlob(key, 5, {{bytesOf("hello"), 1}}, 65536),
       blobError("Encrypted blob uses an unsupported chunk size."),
       blobError("Encrypted blob uses an unsupported chunk size.")},
      {"plaintext size of 2^63", mutated([](Bytes& b) { putBE(b, 8, std::uint64_t{1} << 63, 8); }),
       blobError("Encrypted blob is too large for this platform."),
       blobError("Encrypted blob is too large for this platform.")},
      {"plaintext size changed", mutated([](Bytes& b) { b[15] ^= 1; }), kAuthentication, kAuthentication},
      {"final flag 2", mutated([&](Bytes& b) { b[records[0].offset + 8] = 2; }),
       blobError("Encrypted blob chunk has an invalid final flag."),
       blobError("Encrypted blob chunk has an invalid final flag.")},
      {"first two chunks swapped", mutated([&](Bytes& b) {
         Bytes first = slice(base, records[0].offset, records[0].size);
         Bytes second = slice(base, records[1].offset, records[1].size);
         b.erase(b.begin() + 20, b.begin() + records[2].offset);
         b.insert(b.begin() + 20, first.begin(), first.end());
         b.insert(b.begin() + 20, second.begin(), second.end());
       }),
       kAuthentication, kAuthentication},
      {"non-final chunk marked final", mutated([&](Bytes& b) { b[records[0].offset + 8] = 1; }), kAuthentication,
       kAuthentication},
      {"last chunk dropped", slice(base, 0, records[2].offset), missingFinal, unexpectedEnd},
      {"one byte appended", mutated([](Bytes& b) { b.push_back(0); }), trailing, trailing},
      {"cut inside a chunk prefix", slice(base, 0, records[1].offset + 5),
       blobError("Encrypted blob chunk is truncated."), unexpectedEnd},
      {"cut inside a payload", slice(base, 0, records[2].offset + 9 + 10),
       blobError("Encrypted blob chunk payload is truncated."), unexpectedEnd},
      {"payload announced above 64 MiB", mutated([&](Bytes& b) { putBE(b, records[0].offset, 64 * MiB + 1, 4); }),
       tooLarge, tooLarge},
      {"plaintext announced as 4 GiB", mutated([&](Bytes& b) { putBE(b, records[0].offset + 4, 0xFFFFFFFFu, 4); }),
       tooLarge, tooLarge},
      {"plaintext length field changed", mutated([&](Bytes& b) { putBE(b, records[2].offset + 4, 99, 4); }),
       kAuthentication, kAuthentication},
      {"payload shorter than nonce and tag",
       [] {
         Bytes b = bytesOf("BKBLOB2\n");
         appendBE(b, 0, 8);
         appendBE(b, MiB, 4);
         appendBE(b, 10, 4);
         appendBE(b, 0, 4);
         b.push_back(1);
         b.resize(b.size() + 10, 0);
         return b;
       }(),
       kCipherSize, kCipherSize},
      {"altered ciphertext byte", mutated([&](Bytes& b) { b[records[1].offset + 9 + 40] ^= 4; }), kAuthentication,
       kAuthentication},
      // A reader working ahead meets the later fault first; the earlier one is reported.
      {"altered second chunk, last one cut",
       [&] {
         Bytes b = slice(base, 0, records[2].offset + 9 + 10);
         b[records[1].offset + 9 + 40] ^= 4;
         return b;
       }(),
       kAuthentication, kAuthentication},
      {"altered first chunk, last flag 2", mutated([&](Bytes& b) {
         b[records[0].offset + 9 + 40] ^= 4;
         b[records[2].offset + 8] = 2;
       }),
       kAuthentication, kAuthentication},
      {"chunk taken from a blob of another size", mutated([&](Bytes& b) {
         std::vector<Record> theirs = recordsOf(fromLargerBlob);
         Bytes chunk = slice(fromLargerBlob, theirs[0].offset, theirs[0].size);
         std::copy(chunk.begin(), chunk.end(), b.begin() + records[0].offset);
       }),
       kAuthentication, kAuthentication},
      {"another repository's key", base, kAuthentication, kAuthentication, true},
      {"plaintext length that LZFSE does not produce", craftBlob(key, 6, {{bytesOf("hello!"), 1, 7}}), kExpansion,
       kExpansion},
      {"size mismatch alone", craftBlob(key, 7, {{bytesOf("hello!"), 1}}), mismatch, mismatch},
      // In memory trailing data is found first, streamed the size mismatch.
      {"size mismatch and trailing data",
       [&] {
         Bytes b = craftBlob(key, 5, {{bytesOf("hello!"), 1}});
         b.push_back(0);
         return b;
       }(),
       trailing, mismatch},
      {"a record after the final chunk", craftBlob(key, 6, {{bytesOf("hello!"), 1}, {bytesOf("more"), 1}}), trailing,
       trailing},
  };

  EncryptedBlobCodec stranger(RepositoryKeyMaterial::random());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const EncryptedBlobCodec& reader = c.otherKey ? stranger : codec;
    EXPECT_TRUE(throwsError([&] { reader.open(c.blob); }, c.inMemory));

    TempDir dir;
    writeBytes(dir / "blob", c.blob);
    writeBytes(dir / "existing", bytesOf("keep"));
    EXPECT_TRUE(throwsError([&] { reader.openFile(dir / "blob", dir / "existing"); }, c.streamed));
    EXPECT_TRUE(throwsError([&] { reader.openFile(dir / "blob", dir / "new" / "file"); }, c.streamed));
    EXPECT_TRUE(throwsError([&] { reader.blobKeyForEncryptedBlobAt(dir / "blob"); }, c.streamed));
    EXPECT_TRUE(throwsError([&] { reader.blobKeyForEncryptedBlobAt(dir / "blob", 3); }, c.streamed));
    EXPECT_EQ(readBytes(dir / "existing"), bytesOf("keep"));
    EXPECT_EQ(directoryListing(dir.path()), (std::vector<std::string>{"blob", "existing", "new"}));
    EXPECT_TRUE(directoryListing(dir / "new").empty());
  }
}

struct FileDescriptorForTest {
  explicit FileDescriptorForTest(const std::filesystem::path& path) : fd(::open(path.c_str(), O_RDONLY)) {
    EXPECT_GE(fd, 0) << path;
  }
  ~FileDescriptorForTest() {
    if (fd >= 0) ::close(fd);
  }
  int fd;
};

// Decoding on several threads hands on the same chunks, in order, as one thread does; the
// sink's error stops the stream at once.
TEST(EncryptedBlobCodecTest, ParallelStreamHandsOnTheSameChunksInOrder) {
  RepositoryKeyMaterial key = RepositoryKeyMaterial::random();
  EncryptedBlobCodec codec(key);
  TempDir dir;
  // Chunks of irregular lengths, which readers accept, and of the writer's own.
  const std::vector<Bytes> pieces = {patterned(MiB, 3), patterned(17, 4), patterned(MiB - 1, 5), Bytes{},
                                     patterned(3 * MiB / 2, 6)};
  Bytes whole;
  writeBytes(dir / "crafted", craftBlobOfPieces(key, pieces, whole));
  writeBytes(dir / "sealed", codec.seal(patterned(7 * MiB + 9, 8)));

  auto chunksOf = [&](const std::filesystem::path& blob, unsigned workers) {
    std::vector<Bytes> chunks;
    FileDescriptorForTest in(blob);
    codec.openStream(
        in.fd, blob, [&](const std::uint8_t* data, std::size_t size) { chunks.emplace_back(data, data + size); },
        workers);
    return chunks;
  };
  for (const char* name : {"crafted", "sealed"}) {
    SCOPED_TRACE(name);
    const std::vector<Bytes> serial = chunksOf(dir / name, 1);
    for (unsigned workers : {2u, 3u, 8u}) EXPECT_EQ(chunksOf(dir / name, workers), serial);
  }
  EXPECT_EQ(chunksOf(dir / "crafted", 4), pieces);

  int calls = 0;
  FileDescriptorForTest in(dir / "sealed");
  EXPECT_TRUE(throwsError(
      [&] {
        codec.openStream(
            in.fd, dir / "sealed",
            [&](const std::uint8_t*, std::size_t) {
              if (++calls == 2) throw Error("Sink", 9, "full");
            },
            4);
      },
      {"Sink", 9, "full"}));
  EXPECT_EQ(calls, 2);
}

// Placing chunks at their offsets from the decoding threads puts the whole plaintext in
// place while the sink still sees every chunk in order; a placement error surfaces at its
// chunk's turn, after an earlier damaged chunk's error would have.
TEST(EncryptedBlobCodecTest, PlacedStreamPutsEveryChunkAtItsOffset) {
  RepositoryKeyMaterial key = RepositoryKeyMaterial::random();
  EncryptedBlobCodec codec(key);
  TempDir dir;
  const std::vector<Bytes> pieces = {patterned(MiB, 3), patterned(17, 4), Bytes{}, patterned(3 * MiB / 2, 6)};
  Bytes whole;
  writeBytes(dir / "crafted", craftBlobOfPieces(key, pieces, whole));
  const Bytes sealedPlaintext = patterned(5 * MiB + 9, 8);
  const Bytes sealed = codec.seal(sealedPlaintext);
  writeBytes(dir / "sealed", sealed);

  struct Outcome {
    Bytes image;                 // what was placed, at its offsets
    std::vector<Bytes> inOrder;  // what the sink saw
  };
  auto run = [&](const std::filesystem::path& blob, unsigned workers, std::size_t imageSize,
                 std::optional<std::uint64_t> failAtOffset = std::nullopt) {
    Outcome outcome;
    outcome.image.assign(imageSize, 0xEE);
    std::mutex mutex;
    FileDescriptorForTest in(blob);
    codec.openStreamPlaced(
        in.fd, blob,
        [&](std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
          if (failAtOffset && offset == *failAtOffset) throw Error("Place", 7, "disk full");
          std::lock_guard<std::mutex> lock(mutex);
          ASSERT_LE(offset + size, outcome.image.size());
          std::copy(data, data + size, outcome.image.begin() + static_cast<std::ptrdiff_t>(offset));
        },
        [&](const std::uint8_t* data, std::size_t size) { outcome.inOrder.emplace_back(data, data + size); }, workers);
    return outcome;
  };
  for (unsigned workers : {1u, 2u, 8u}) {
    SCOPED_TRACE(workers);
    const Outcome craftedOutcome = run(dir / "crafted", workers, whole.size());
    EXPECT_EQ(craftedOutcome.image, whole);
    EXPECT_EQ(craftedOutcome.inOrder, pieces);
    const Outcome sealedOutcome = run(dir / "sealed", workers, sealedPlaintext.size());
    EXPECT_EQ(sealedOutcome.image, sealedPlaintext);
    EXPECT_EQ(sealedOutcome.inOrder.size(), 6u);

    // Fails placing the third chunk: the sink has seen the two before it, not more.
    std::size_t seen = 0;
    FileDescriptorForTest in(dir / "sealed");
    EXPECT_TRUE(throwsError(
        [&] {
          codec.openStreamPlaced(
              in.fd, dir / "sealed",
              [&](std::uint64_t offset, const std::uint8_t*, std::size_t) {
                if (offset == 2 * MiB) throw Error("Place", 7, "disk full");
              },
              [&](const std::uint8_t*, std::size_t) { ++seen; }, workers);
        },
        {"Place", 7, "disk full"}));
    EXPECT_EQ(seen, 2u);
  }

  // The second chunk damaged and the fourth failing to be placed: the damage is reported.
  Bytes damaged = sealed;
  const std::size_t firstRecord = EncryptedBlobCodec::headerSize;
  const std::size_t firstPayload = (std::size_t{damaged[firstRecord]} << 24) |
                                   (std::size_t{damaged[firstRecord + 1]} << 16) |
                                   (std::size_t{damaged[firstRecord + 2]} << 8) | damaged[firstRecord + 3];
  damaged[firstRecord + EncryptedBlobCodec::chunkPrefixSize + firstPayload + EncryptedBlobCodec::chunkPrefixSize +
          40] ^= 0x01;
  writeBytes(dir / "damaged", damaged);
  for (unsigned workers : {1u, 4u}) {
    SCOPED_TRACE(workers);
    try {
      run(dir / "damaged", workers, sealedPlaintext.size(), 3 * MiB);
      ADD_FAILURE() << "the damaged chunk was not reported";
    } catch (const Error& error) {
      EXPECT_NE(error.domain(), "Place");
    }
  }
}

TEST(EncryptedBlobCodecTest, StreamedFileHandling) {
  EncryptedBlobCodec codec(RepositoryKeyMaterial::random());
  TempDir dir;
  writeBytes(dir / "plain", bytesOf("contents"));

  // Missing folders are created; an existing destination is replaced.
  codec.sealFile(dir / "plain", dir / "a" / "b" / "blob");
  writeBytes(dir / "opened", bytesOf("older and longer contents"));
  codec.openFile(dir / "a" / "b" / "blob", dir / "opened");
  EXPECT_EQ(readBytes(dir / "opened"), bytesOf("contents"));
  EXPECT_EQ(directoryListing(dir / "a" / "b"), std::vector<std::string>{"blob"});

  // A missing source, a folder as source, a folder in the destination's place.
  const std::string missing = (dir / "missing").string();
  EXPECT_TRUE(
      throwsError([&] { codec.sealFile(dir / "missing", dir / "out"); },
                  {"NSPOSIXErrorDomain", ENOENT, "lstat failed for " + missing + ": No such file or directory."}));
  EXPECT_TRUE(
      throwsError([&] { codec.openFile(dir / "missing", dir / "out"); },
                  {"NSPOSIXErrorDomain", ENOENT, "open failed for " + missing + ": No such file or directory."}));
  EXPECT_THROW(codec.sealFile(dir / "a", dir / "out"), Error);
  std::filesystem::create_directories(dir / "taken" / "inside");
  EXPECT_THROW(codec.openFile(dir / "a" / "b" / "blob", dir / "taken"), Error);
  EXPECT_EQ(directoryListing(dir.path()), (std::vector<std::string>{"a", "opened", "plain", "taken"}));
  EXPECT_EQ(directoryListing(dir / "taken"), std::vector<std::string>{"inside"});
}

TEST(EncryptedBlobCodecTest, SealFileFailsWhenTheSourceDeliversLessThanItsSize) {
  // sysfs files report a size of one page but hold only a few bytes: a source that turns
  // out shorter than the size taken at the start.
  const std::filesystem::path source = "/sys/devices/system/cpu/online";
  std::error_code ec;
  if (!std::filesystem::is_regular_file(source, ec) ||
      std::filesystem::file_size(source, ec) <= readBytes(source).size()) {
    GTEST_SKIP() << "no sysfs file that is shorter than its reported size";
  }
  EncryptedBlobCodec codec(RepositoryKeyMaterial::random());
  TempDir dir;
  writeBytes(dir / "existing", bytesOf("keep"));
  EXPECT_TRUE(throwsError([&] { codec.sealFile(source, dir / "existing"); },
                          blobError("Failed to read the expected plaintext chunk.")));
  EXPECT_EQ(readBytes(dir / "existing"), bytesOf("keep"));
  EXPECT_EQ(directoryListing(dir.path()), std::vector<std::string>{"existing"});
}

// The measured seal names what it sealed, on one thread or on several, in the same format.
TEST(EncryptedBlobCodecTest, MeasuredSealReportsTheKeyAndSizesOfWhatItSealed) {
  EncryptedBlobCodec codec(RepositoryKeyMaterial::random());
  TempDir dir;
  for (std::size_t size : {std::size_t{0}, MiB, 5 * MiB + 3}) {
    Bytes plaintext = patterned(size, 3);
    if (size > MiB) {
      Bytes noise = secureRandomBytes(MiB);
      std::copy(noise.begin(), noise.end(), plaintext.begin() + 2 * MiB);
    }
    writeBytes(dir / "plain", plaintext);
    for (unsigned workers : {1u, 3u}) {
      SCOPED_TRACE(std::to_string(size) + " bytes, " + std::to_string(workers) + " workers");
      std::optional<EncryptedBlobCodec::SealedFile> sealed =
          codec.sealFileMeasuringContent(dir / "plain", dir / "sealed", workers);
      ASSERT_TRUE(sealed.has_value());
      EXPECT_EQ(sealed->blobKey, codec.blobKeyForPlaintext(plaintext));
      EXPECT_EQ(sealed->plaintextSize, size);
      EXPECT_EQ(sealed->blobSize, readBytes(dir / "sealed").size());
      EXPECT_EQ(sealed->blobSize, codec.seal(plaintext).size());  // same cut, same compression
      EXPECT_EQ(codec.open(readBytes(dir / "sealed")), plaintext);
    }
  }
  // A source that delivers less than its size: nothing sealed, nothing written.
  const std::filesystem::path shrinking = "/sys/devices/system/cpu/online";
  std::error_code ec;
  if (std::filesystem::is_regular_file(shrinking, ec) &&
      std::filesystem::file_size(shrinking, ec) > readBytes(shrinking).size()) {
    EXPECT_EQ(codec.sealFileMeasuringContent(shrinking, dir / "none", 2), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(dir / "none"));
  }
  EXPECT_EQ(directoryListing(dir.path()), (std::vector<std::string>{"plain", "sealed"}));
}

// `blob` with every record sealed again under the nonce of the same record of `donor`: the
// bytes seal() would have written had its random source given donor's nonces.
Bytes withNoncesOf(const RepositoryKeyMaterial& key, const Bytes& blob, const Bytes& donor) {
  const std::vector<Record> records = recordsOf(blob);
  const std::vector<Record> donorRecords = recordsOf(donor);
  EXPECT_EQ(records.size(), donorRecords.size());
  crypto::AESGCM cipher(key.derivedKey("tovarine.blob-encryption.v1"));
  Bytes out = slice(blob, 0, 20);
  for (std::size_t i = 0; i < std::min(records.size(), donorRecords.size()); ++i) {
    const Record& record = records[i];
    Bytes aad = slice(blob, 0, 20);
    appendBE(aad, i, 8);
    appendBE(aad, record.plaintextLength, 4);
    aad.push_back(record.final);
    const std::size_t payload = record.offset + 9;
    const std::size_t compressedSize = record.size - 9 - 28;
    Bytes compressed(compressedSize);
    cipher.open(&blob[payload], &blob[payload + 12], compressedSize, &blob[payload + 12 + compressedSize], aad.data(),
                aad.size(), compressed.data());
    Bytes resealed = slice(blob, record.offset, record.size);
    std::copy_n(&donor[donorRecords[i].offset + 9], 12, &resealed[9]);
    cipher.seal(&resealed[9], compressed.data(), compressedSize, aad.data(), aad.size(), &resealed[9 + 12],
                &resealed[9 + 12 + compressedSize]);
    out.insert(out.end(), resealed.begin(), resealed.end());
  }
  return out;
}

// The streaming seal writes what seal() writes of the whole plaintext, whatever the pieces it
// is handed and the number of threads, and names the bytes it wrote.
TEST(EncryptedBlobCodecTest, StreamingSealWritesTheBlobOfTheWholePlaintext) {
  RepositoryKeyMaterial key = RepositoryKeyMaterial::random();
  EncryptedBlobCodec codec(key);
  TempDir dir;
  struct Case {
    const char* name;
    std::size_t size;
    std::size_t piece;
  } cases[] = {
      {"empty", 0, 1},
      {"one byte", 1, 1},
      {"one chunk", MiB, 4096},
      {"one chunk and a byte", MiB + 1, 333},
      {"several chunks in pieces across the cuts", 3 * MiB + 5, MiB - 7},
      {"several chunks in one piece", 4 * MiB, 4 * MiB},
  };
  for (const Case& c : cases) {
    for (unsigned workers : {1u, 3u}) {
      SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(workers) + " workers");
      const Bytes plaintext = patterned(c.size, 7);
      EncryptedBlobCodec::SealedStream sealed;
      {
        OpenFile out = openFile(dir / "streamed", O_WRONLY | O_CREAT | O_TRUNC);
        sealed = codec.sealStream(
            c.size,
            [&](const EncryptedBlobCodec::PlaintextSink& sink) {
              for (std::size_t at = 0; at < c.size; at += c.piece) {
                sink(plaintext.data() + at, std::min(c.piece, c.size - at));
                sink(plaintext.data(), 0);
              }
            },
            out.get(), dir / "streamed", workers);
      }
      const Bytes streamed = readBytes(dir / "streamed");
      EXPECT_EQ(withNoncesOf(key, codec.seal(plaintext), streamed), streamed);
      EXPECT_EQ(sealed.blobSHA256, crypto::sha256Hex(streamed));
      EXPECT_EQ(sealed.blobSize, streamed.size());
      EXPECT_EQ(codec.open(streamed), plaintext);
    }
  }

  // Too much or too little plaintext, or a producer that fails, stop the seal with their error.
  const Bytes ten = patterned(10);
  struct Failure {
    const char* name;
    std::size_t announced;
    std::function<void(const EncryptedBlobCodec::PlaintextSink&)> produce;
    ExpectedError expected;
  } failures[] = {
      {"longer", 9, [&](const auto& sink) { sink(ten.data(), 10); },
       blobError("The plaintext to seal is longer than announced.")},
      {"longer after a full chunk", MiB,
       [&](const auto& sink) {
         const Bytes chunk = patterned(MiB);
         sink(chunk.data(), chunk.size());
         sink(ten.data(), 1);
       },
       blobError("The plaintext to seal is longer than announced.")},
      {"shorter", 2 * MiB, [&](const auto& sink) { sink(ten.data(), 10); },
       blobError("The plaintext to seal is shorter than announced.")},
      {"producer fails",
       2 * MiB + 10,
       [&](const auto& sink) {
         const Bytes chunk = patterned(MiB + 1);
         sink(chunk.data(), chunk.size());
         throw Error("Producer", 7, "read fault");
       },
       {"Producer", 7, "read fault"}},
  };
  for (const Failure& f : failures) {
    SCOPED_TRACE(f.name);
    OpenFile out = openFile(dir / "failed", O_WRONLY | O_CREAT | O_TRUNC);
    EXPECT_TRUE(
        throwsError([&] { codec.sealStream(f.announced, f.produce, out.get(), dir / "failed", 2); }, f.expected));
  }
}

TEST(EncryptedBlobCodecTest, BlobKeyForFileCallsTheCancellationHandler) {
  EncryptedBlobCodec codec(RepositoryKeyMaterial::random());
  TempDir dir;
  Bytes plaintext = patterned(2 * MiB + MiB / 2);
  writeBytes(dir / "plain", plaintext);
  writeBytes(dir / "empty", {});

  int calls = 0;
  EXPECT_EQ(codec.blobKeyForFile(dir / "plain", [&] { ++calls; }), codec.blobKeyForPlaintext(plaintext));
  EXPECT_EQ(calls, 4);  // before reading and after each of three pieces
  calls = 0;
  EXPECT_EQ(codec.blobKeyForFile(dir / "empty", [&] { ++calls; }), codec.blobKeyForPlaintext(Bytes{}));
  EXPECT_EQ(calls, 1);

  calls = 0;
  EXPECT_TRUE(throwsError(
      [&] {
        codec.blobKeyForFile(dir / "plain", [&] {
          ++calls;
          throw CancellationError();
        });
      },
      {"CancellationError", 1, "The operation was cancelled."}));
  EXPECT_EQ(calls, 1);
  calls = 0;
  EXPECT_THROW(codec.blobKeyForFile(dir / "plain",
                                    [&] {
                                      if (++calls == 3) throw CancellationError();
                                    }),
               CancellationError);
  EXPECT_EQ(calls, 3);
  EXPECT_THROW(codec.blobKeyForFile(dir / "missing", [] {}), PosixError);
}

TEST(EncryptedBlobCodecTest, IsEncryptedBlobLooksAtTheMagicOnly) {
  const Bytes magic = bytesOf("BKBLOB2\n");
  struct Case {
    const char* name;
    Bytes data;
    bool expected;
  };
  const Case cases[] = {
      {"exactly the magic", magic, true},
      {"magic and anything",
       [&] {
         Bytes b = magic;
         b.push_back(0xff);
         return b;
       }(),
       true},
      {"seven magic bytes", slice(magic, 0, 7), false},
      {"empty", {}, false},
      {"older magic", bytesOf("BKBLOB1\n"), false},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(EncryptedBlobCodec::isEncryptedBlob(c.data), c.expected);
    writeBytes(dir / "file", c.data);
    EXPECT_EQ(EncryptedBlobCodec::isEncryptedBlobAt(dir / "file"), c.expected);
  }
  EXPECT_THROW(EncryptedBlobCodec::isEncryptedBlobAt(dir / "missing"), PosixError);
}

}  // namespace
}  // namespace tvr
