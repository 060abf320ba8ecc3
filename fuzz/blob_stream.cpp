// The encrypted blob streamed from a file (openFile, blobKeyForEncryptedBlobAt), checked
// against the in-memory reader: both accept the same blobs and give the same plaintext.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>

#include "engine/crypto/EncryptedBlobCodec.h"
#include "fuzz/FuzzSupport.h"
#include "platform/Error.h"

namespace {

tvr::Bytes readAll(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return tvr::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const tvr::EncryptedBlobCodec codec(tvr::fuzz::fixtureKeyMaterial());
  static const std::filesystem::path blob = tvr::fuzz::scratchFolder() / "blob";
  static const std::filesystem::path opened = tvr::fuzz::scratchFolder() / "opened";
  tvr::fuzz::writeFile(blob, data, size);
  std::filesystem::remove(opened);

  std::optional<tvr::Bytes> inMemory;
  try {
    inMemory = codec.open(tvr::Bytes(data, data + size));
  } catch (const tvr::Error&) {
  }
  bool streamed = false;
  try {
    codec.openFile(blob, opened);
    streamed = true;
  } catch (const tvr::Error&) {
    // A failed open leaves nothing behind.
    if (std::filesystem::exists(opened)) std::abort();
  }
  std::optional<std::string> key;
  try {
    key = codec.blobKeyForEncryptedBlobAt(blob);
  } catch (const tvr::Error&) {
  }

  if (inMemory.has_value() != streamed || streamed != key.has_value()) std::abort();
  if (streamed) {
    if (readAll(opened) != *inMemory) std::abort();
    if (*key != codec.blobKeyForPlaintext(*inMemory)) std::abort();
  }
  return 0;
}
