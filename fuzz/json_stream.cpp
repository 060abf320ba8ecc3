// The streaming JSON parser against nlohmann's SAX parser: for any text, cut into pieces
// where the first byte says, both give the same events in the same order and agree on
// whether the text is JSON.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/StreamingJsonParser.h"
#include "tests/support/JsonEventRecorder.h"

using tvr::test::JsonEventRecorder;
using tvr::test::TextPieces;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t step = data[0] % 16 + 1;
  const char* text = reinterpret_cast<const char*>(data + 1);
  const std::size_t length = size - 1;

  JsonEventRecorder reference;
  nlohmann::json::sax_parse(text, text + length, &reference);
  JsonEventRecorder streamed;
  TextPieces pieces{text, length, step};
  tvr::json_stream::Parser<TextPieces, JsonEventRecorder>(pieces, streamed).parse();

  if (reference.error != streamed.error) std::abort();
  // After an error the parsers may stop at different points of the same broken value.
  if (!reference.error && reference.events != streamed.events) std::abort();
  if (reference.error) {
    std::size_t common = std::min(reference.events.size(), streamed.events.size());
    for (std::size_t i = 0; i + 1 < common; ++i) {
      if (reference.events[i] != streamed.events[i]) std::abort();
    }
  }
  return 0;
}
