// The encrypted blob past authentication: the fuzzer chooses the header's plaintext size
// and, per chunk, the announced plaintext length, the final flag and the compressed bytes;
// the harness seals each chunk with the fixture key and the right associated data, so the
// decompressor and the length checks see hostile data that a key holder could have written.
//
// Input: one flag byte (bit 0: take the header's size from 8 more big-endian bytes instead
// of the sum of the chunk lengths; bit 1: announced lengths up to 4 GiB, otherwise they are
// taken modulo 2 MiB + 2), then chunks of
//   plaintext length (4 bytes BE) | final flag (1 byte) | n (2 bytes BE) | n compressed bytes
// until the input ends (at most 8 chunks).

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "engine/crypto/CryptoPrimitives.h"
#include "engine/crypto/EncryptedBlobCodec.h"
#include "fuzz/FuzzSupport.h"
#include "platform/Error.h"

namespace {

std::uint64_t readBE(const std::uint8_t*& data, std::size_t& size, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) {
    value <<= 8;
    if (size > 0) {
      value |= *data++;
      --size;
    }
  }
  return value;
}

void appendBE(tvr::Bytes& out, std::uint64_t value, int width) {
  for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

struct Chunk {
  std::uint32_t plaintextLength;
  std::uint8_t final;
  tvr::Bytes compressed;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const tvr::EncryptedBlobCodec codec(tvr::fuzz::fixtureKeyMaterial());
  static const tvr::SecretBytes blobKey =
      tvr::fuzz::fixtureKeyMaterial().derivedKey(tvr::RepositoryKeyPurpose::blobEncryption);
  static const std::filesystem::path blobFile = tvr::fuzz::scratchFolder() / "blob";
  static const std::filesystem::path opened = tvr::fuzz::scratchFolder() / "opened";
  if (size == 0) return 0;

  const std::uint8_t flags = *data++;
  --size;
  std::optional<std::uint64_t> announcedSize;
  if (flags & 1) announcedSize = readBE(data, size, 8);
  std::vector<Chunk> chunks;
  std::uint64_t sum = 0;
  while (size > 0 && chunks.size() < 8) {
    Chunk chunk;
    chunk.plaintextLength = static_cast<std::uint32_t>(readBE(data, size, 4));
    // Lengths up to the reader's limit make it allocate that much for every try; keep most
    // of them near the chunk size so the fuzzer stays fast (bit 1 lifts the cap).
    if (!(flags & 2)) chunk.plaintextLength %= 2 * tvr::EncryptedBlobCodec::chunkSize + 2;
    chunk.final = static_cast<std::uint8_t>(readBE(data, size, 1));
    std::size_t n = static_cast<std::size_t>(readBE(data, size, 2));
    if (n > size) n = size;
    chunk.compressed.assign(data, data + n);
    data += n;
    size -= n;
    sum += chunk.plaintextLength;
    chunks.push_back(std::move(chunk));
  }

  tvr::Bytes blob = {0x42, 0x4B, 0x42, 0x4C, 0x4F, 0x42, 0x32, 0x0A};
  appendBE(blob, announcedSize.value_or(sum), 8);
  appendBE(blob, tvr::EncryptedBlobCodec::chunkSize, 4);
  const tvr::Bytes header(blob.begin(), blob.end());
  tvr::crypto::AESGCM cipher(blobKey);
  for (std::size_t index = 0; index < chunks.size(); ++index) {
    const Chunk& chunk = chunks[index];
    appendBE(blob, tvr::crypto::aesGCMOverhead + chunk.compressed.size(), 4);
    appendBE(blob, chunk.plaintextLength, 4);
    blob.push_back(chunk.final);
    tvr::Bytes aad = header;
    appendBE(aad, index, 8);
    appendBE(aad, chunk.plaintextLength, 4);
    aad.push_back(chunk.final);
    std::array<std::uint8_t, tvr::crypto::aesGCMNonceSize> nonce{};
    nonce[0] = static_cast<std::uint8_t>(index);
    const std::size_t start = blob.size();
    blob.resize(start + tvr::crypto::aesGCMOverhead + chunk.compressed.size());
    std::memcpy(blob.data() + start, nonce.data(), nonce.size());
    cipher.seal(nonce.data(), chunk.compressed.data(), chunk.compressed.size(), aad.data(), aad.size(),
                blob.data() + start + nonce.size(), blob.data() + start + nonce.size() + chunk.compressed.size());
  }

  std::optional<tvr::Bytes> inMemory;
  try {
    inMemory = codec.open(blob);
  } catch (const tvr::Error&) {
  }
  tvr::fuzz::writeFile(blobFile, blob.data(), blob.size());
  std::optional<std::string> streamedKey;
  try {
    streamedKey = codec.blobKeyForEncryptedBlobAt(blobFile);
  } catch (const tvr::Error&) {
  }
  // The two readers agree on every blob, and on its plaintext.
  if (inMemory.has_value() != streamedKey.has_value()) std::abort();
  if (inMemory && *streamedKey != codec.blobKeyForPlaintext(*inMemory)) std::abort();
  return 0;
}
