// repo.json: the JSON decoder, the read and write gates, and the encoder on what decoded:
// a decoded document encodes to one that decodes to the same value.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/metadata/RepositoryMetadata.h"
#include "platform/Error.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tvr::RepositoryMetadata metadata;
  try {
    metadata = tvr::RepositoryMetadata::decodeDocument(tvr::Bytes(data, data + size));
  } catch (const tvr::Error&) {
    return 0;
  }
  try {
    metadata.validateSupportedForRead();
    metadata.validateSupportedForWrite();
  } catch (const tvr::Error&) {
  }
  std::string encoded = metadata.encodedDocument();
  if (tvr::RepositoryMetadata::decodeDocument(tvr::Bytes(encoded.begin(), encoded.end())) != metadata) std::abort();
  return 0;
}
