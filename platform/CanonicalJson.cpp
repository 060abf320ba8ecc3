#include "platform/CanonicalJson.h"

namespace tvr {

std::string canonicalJsonString(const nlohmann::json& value, bool pretty) {
  std::string text = value.dump(pretty ? 2 : -1, ' ', false, nlohmann::json::error_handler_t::replace);
  // "/" cannot occur outside string literals in JSON text, so escaping every one is exact.
  std::string out;
  out.reserve(text.size() + 16);
  for (char c : text) {
    if (c == '/') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace tvr
