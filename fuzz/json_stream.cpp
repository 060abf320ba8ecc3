// The streaming JSON parser against nlohmann's SAX parser: for any text, cut into pieces
// where the first byte says, both give the same events in the same order and agree on
// whether the text is JSON.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/StreamingJsonParser.h"

namespace {

using json = nlohmann::json;

// Events as text, from either parser.
struct Recorder {
  std::vector<std::string> events;
  bool error = false;

  bool record(std::string event) {
    events.push_back(std::move(event));
    return true;
  }
  bool null() { return record("null"); }
  bool boolean(bool value) { return record(value ? "true" : "false"); }
  bool number_integer(json::number_integer_t value) { return record("int " + std::to_string(value)); }
  bool number_unsigned(json::number_unsigned_t value) { return record("uint " + std::to_string(value)); }
  bool number_float(json::number_float_t value, const json::string_t& text) {
    char bits[32];
    std::snprintf(bits, sizeof bits, "%a", value);
    return record("float " + std::string(bits) + " " + text);
  }
  bool string(json::string_t& value) { return record("string " + value); }
  bool binary(json::binary_t&) { return record("binary"); }
  bool start_object(std::size_t) { return record("{"); }
  bool end_object() { return record("}"); }
  bool start_array(std::size_t) { return record("["); }
  bool end_array() { return record("]"); }
  bool key(json::string_t& value) { return record("key " + value); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    error = true;
    return false;
  }
  bool syntaxError() {
    error = true;
    return false;
  }
};

struct Pieces {
  const char* data;
  std::size_t size;
  std::size_t step;
  std::size_t offset = 0;
  bool next(const char*& piece, std::size_t& pieceSize) {
    if (offset >= size) return false;
    piece = data + offset;
    pieceSize = std::min(step, size - offset);
    offset += pieceSize;
    return true;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t step = data[0] % 16 + 1;
  const char* text = reinterpret_cast<const char*>(data + 1);
  const std::size_t length = size - 1;

  Recorder reference;
  json::sax_parse(text, text + length, &reference);
  Recorder streamed;
  Pieces pieces{text, length, step};
  tvr::json_stream::Parser<Pieces, Recorder>(pieces, streamed).parse();

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
