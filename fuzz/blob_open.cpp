// The encrypted blob opened in memory: header, chunk framing, authentication and
// decompression of whatever bytes a damaged disk or a hostile bucket hands over.

#include <cstddef>
#include <cstdint>

#include "engine/crypto/EncryptedBlobCodec.h"
#include "fuzz/FuzzSupport.h"
#include "platform/Error.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const tvr::EncryptedBlobCodec codec(tvr::fuzz::fixtureKeyMaterial());
  tvr::Bytes blob(data, data + size);
  try {
    tvr::Bytes plaintext = codec.open(blob);
    (void)codec.blobKeyForPlaintext(plaintext);
  } catch (const tvr::Error&) {
    // A clear error is the expected answer to damaged bytes; anything else escapes.
  }
  return 0;
}
