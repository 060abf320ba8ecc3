// The S3 ListObjectsV2 page (XML): the first byte chooses where the body is cut in two, as
// the network may deliver it; the page read in two pieces must equal the page read whole.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>

#include "engine/s3/S3ListBucketResultParser.h"
#include "platform/Error.h"

namespace {

std::optional<tvr::S3ListBucketResultParser::Page> parsed(const char* data, std::size_t size, std::size_t cut) {
  try {
    tvr::S3ListBucketResultParser parser;
    parser.feed(data, cut);
    parser.feed(data + cut, size - cut);
    return parser.finish();
  } catch (const tvr::Error&) {
    return std::nullopt;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t cutChoice = data[0];
  const char* body = reinterpret_cast<const char*>(data + 1);
  const std::size_t bodySize = size - 1;
  std::optional<tvr::S3ListBucketResultParser::Page> whole;
  try {
    whole = tvr::S3ListBucketResultParser::parse(tvr::Bytes(data + 1, data + size));
  } catch (const tvr::Error&) {
  }
  const std::size_t cut = bodySize == 0 ? 0 : cutChoice * bodySize / 255;
  if (parsed(body, bodySize, cut) != whole) std::abort();
  return 0;
}
