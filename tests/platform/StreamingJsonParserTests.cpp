#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/StreamingJsonParser.h"

namespace tvr {
namespace {

using json = nlohmann::json;

// Events as text; nlohmann's SAX parser is the reference.
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
  bool number_float(json::number_float_t value, const json::string_t&) { return record("float " + json(value).dump()); }
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
  std::string text;
  std::size_t step;
  std::size_t offset = 0;
  bool next(const char*& data, std::size_t& size) {
    if (offset >= text.size()) return false;
    data = text.data() + offset;
    size = std::min(step, text.size() - offset);
    offset += size;
    return true;
  }
};

TEST(StreamingJsonParserTest, SameEventsAndVerdictsAsNlohmannInAnyPieces) {
  const std::vector<std::string> texts = {
      R"({"a":[1,-0,-9223372036854775808,18446744073709551615,18446744073709551616,-9223372036854775809]})",
      R"([1.5,-2e-3,1E+2,0.1e1,"x"])",
      "\xef\xbb\xbf {\"bom\" : true}",  // a byte order mark at the start
      R"(["\u00e9\ud83d\ude00\n\t\"\\\/ plain text that runs over several pieces"])",
      "[\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"]",
      std::string("{\"a\":1}\0 trailing after a NUL", 29),
      " [ ] ",
      "{}",
      "null",
      // refused
      "", "[1,]", "{\"a\" 1}", "{,}", "01", "1.", ".5", "-", "+1", "1e", "1e400", "[-1e999]", "tru", "nul",
      "[\"\\x\"]", "[\"\\ud83d\"]", "[\"\\ude00\"]", "[\"\\ud83d\\u0041\"]", "[\"a\nb\"]", "[\"\xc0\xaf\"]",
      "[\"\xed\xa0\x80\"]", "[\"\xf4\x90\x80\x80\"]", "[\"\xe2\x82\"]", "\xef\xbb", "[1] [2]", "[\"open",
      "{\"a\":1}}", "[[[[[[1]]]]]"};
  for (const std::string& text : texts) {
    Recorder reference;
    json::sax_parse(text.data(), text.data() + text.size(), &reference);
    for (std::size_t step : {std::size_t(1), std::size_t(3), std::size_t(8), text.size() + 1}) {
      SCOPED_TRACE(text + " in pieces of " + std::to_string(step));
      Pieces pieces{text, step};
      Recorder streamed;
      json_stream::Parser<Pieces, Recorder>(pieces, streamed).parse();
      EXPECT_EQ(streamed.error, reference.error);
      if (!reference.error) {
        EXPECT_EQ(streamed.events, reference.events);
      }
    }
  }
}

}  // namespace
}  // namespace tvr
