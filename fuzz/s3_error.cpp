// The provider's XML error document: Code, Message and RequestId found by a text search in
// the first 64 KiB. These texts reach terminal messages, so whatever comes out must be valid
// UTF-8 without control characters other than tab, line feed and carriage return.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "engine/s3/S3ProviderError.h"

namespace {

bool isValidUTF8(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (length == 0 || i + length > text.size()) return false;
    std::uint32_t value = length == 1 ? c : c & (0xFF >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      value = (value << 6) | (next & 0x3F);
    }
    static const std::uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < minimum[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

void checkPrintable(const std::optional<std::string>& text) {
  if (!text) return;
  if (text->empty() || !isValidUTF8(*text)) std::abort();
  for (char c : *text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\t' && c != '\n' && c != '\r') || byte == 0x7F) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::optional<tvr::S3ProviderError> error = tvr::S3ProviderError::parse(tvr::Bytes(data, data + size));
  if (!error) return 0;
  if (!error->code && !error->message && !error->requestID) std::abort();
  checkPrintable(error->code);
  checkPrintable(error->message);
  checkPrintable(error->requestID);
  return 0;
}
