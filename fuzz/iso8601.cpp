// ISO 8601 dates: the strict parser on any text, and the formatter on any number of seconds
// a hostile document or catalog can carry (manifest and catalog dates are plain numbers).
// A date that parses formats back to the same text when it lies in years 1 to 9999 (the
// parser also takes year 0, which formats as the earliest date), and every formatted date parses.

#include "platform/Iso8601.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::optional<double> parsed = tvr::parseISO8601(text);
  if (parsed && tvr::isRepresentableDate(*parsed) && tvr::formatISO8601(*parsed) != text) std::abort();

  if (size >= sizeof(double)) {
    double seconds;
    std::memcpy(&seconds, data, sizeof seconds);
    // Whatever number a document holds, the text written for it is a date that parses.
    if (!tvr::parseISO8601(tvr::formatISO8601(seconds))) std::abort();
  }
  return 0;
}
