#include "engine/metadata/PlanID.h"

#include <nlohmann/json.hpp>

#include "platform/JsonDecoding.h"
#include "platform/Unicode.h"

namespace tvr {

bool PlanID::isValid(std::string_view text) {
  if (text.empty()) return false;
  for (char32_t c : unicode::toUTF32(text)) {
    bool allowed = unicode::isLetterMarkOrNumber(c) || c == U'-' || c == U'_' || c == U'.' || c == U':' || c == U'|';
    if (!allowed) return false;
  }
  return true;
}

void to_json(nlohmann::json& json, const PlanID& id) { json = id.rawValue(); }

void from_json(const nlohmann::json& json, PlanID& id) {
  if (!json.is_string()) {
    throw DecodingError(DecodingError::Kind::typeMismatch, "", "A plan ID must be a JSON string.");
  }
  id = PlanID(json.get<std::string>());
}

}  // namespace tvr
