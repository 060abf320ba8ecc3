#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace tvr::test {

// JSON parser events as text, from nlohmann's SAX parser (parse_error) or the streaming
// parser (syntaxError), so the two can be compared. Header-only: the fuzz harnesses use it
// too.
struct JsonEventRecorder {
  using json = nlohmann::json;
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
    char bits[40];
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

// A text handed to the streaming parser in pieces of `step` bytes.
struct TextPieces {
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

}  // namespace tvr::test
