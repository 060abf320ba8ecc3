#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/StreamingJsonParser.h"
#include "tests/support/JsonEventRecorder.h"

namespace tvr {
namespace {

using test::JsonEventRecorder;
using test::TextPieces;

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
    JsonEventRecorder reference;
    nlohmann::json::sax_parse(text.data(), text.data() + text.size(), &reference);
    for (std::size_t step : {std::size_t(1), std::size_t(3), std::size_t(8), text.size() + 1}) {
      SCOPED_TRACE(text + " in pieces of " + std::to_string(step));
      TextPieces pieces{text.data(), text.size(), step};
      JsonEventRecorder streamed;
      json_stream::Parser<TextPieces, JsonEventRecorder>(pieces, streamed).parse();
      EXPECT_EQ(streamed.error, reference.error);
      if (!reference.error) {
        EXPECT_EQ(streamed.events, reference.events);
      }
    }
  }
}

}  // namespace
}  // namespace tvr
