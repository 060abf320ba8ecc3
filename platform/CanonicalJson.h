#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace tvr {

// The one JSON text form of the system: keys sorted at every depth (nlohmann's object is
// ordered by key), "/" written as "\/", UTF-8 kept as is (invalid sequences replaced).
// `pretty` indents by two spaces, one member per line.
std::string canonicalJsonString(const nlohmann::json& value, bool pretty = false);

}  // namespace tvr
