#include "engine/crypto/RepositoryCompression.h"

#include <lzfse.h>

#include "platform/Error.h"

namespace tvr::RepositoryCompression {

namespace {

// The reference encoder falls back to a stored block (8-byte header, data, 4-byte end
// marker) whenever compression does not fit, so this bound always suffices.
constexpr std::size_t storedBlockOverhead = 12;

// Returns the encoded length; `output` keeps its (reused) size, which is at least that.
std::size_t encodeInto(const std::uint8_t* data, std::size_t size, Bytes& scratch, Bytes& output) {
  if (scratch.empty()) scratch.resize(lzfse_encode_scratch_size());
  const std::size_t capacity = size + storedBlockOverhead;
  if (output.size() < capacity) output.resize(capacity);
  std::size_t written = lzfse_encode_buffer(output.data(), capacity, data, size, scratch.data());
  if (written == 0) throw platformError("LZFSE", "LZFSE compression failed.");
  return written;
}

// The reference decoder reports both "failed" and "nothing decoded" as 0 and silently stops
// at a full buffer, so it decodes into one spare byte to tell "too long" from "exact".
void decodeInto(const std::uint8_t* data, std::size_t size, std::size_t expectedSize, Bytes& scratch, Bytes& output) {
  if (scratch.empty()) scratch.resize(lzfse_decode_scratch_size());
  const std::size_t capacity = expectedSize + 1;
  if (output.size() < capacity) output.resize(capacity);
  std::size_t written = lzfse_decode_buffer(output.data(), capacity, data, size, scratch.data());
  if (written != expectedSize) {
    throw Error("RepositoryCompression", 1, "Compressed data did not expand to the expected size.");
  }
}

}  // namespace

Bytes compress(const std::uint8_t* data, std::size_t size) {
  Bytes scratch;
  Bytes output;
  output.resize(encodeInto(data, size, scratch, output));
  return output;
}

Bytes decompress(const std::uint8_t* data, std::size_t size, std::size_t expectedSize) {
  Bytes scratch;
  Bytes output;
  decodeInto(data, size, expectedSize, scratch, output);
  output.resize(expectedSize);
  return output;
}

Workspace::Workspace() = default;
Workspace::~Workspace() = default;

Workspace::View Workspace::compress(const std::uint8_t* data, std::size_t size) {
  std::size_t written = encodeInto(data, size, encodeScratch_, output_);
  return {output_.data(), written};
}

Workspace::View Workspace::decompress(const std::uint8_t* data, std::size_t size, std::size_t expectedSize) {
  decodeInto(data, size, expectedSize, decodeScratch_, output_);
  return {output_.data(), expectedSize};
}

}  // namespace tvr::RepositoryCompression
