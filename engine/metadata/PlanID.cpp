#include "engine/metadata/PlanID.h"

#include "platform/Unicode.h"

namespace tvr {

bool PlanID::isValid(std::string_view text) {
  if (text.empty()) return false;
  for (char32_t c : unicode::toUTF32(text)) {
    bool allowed = unicode::isLetterMarkOrNumber(c) || c == U'-' || c == U'_' || c == U'.' ||
                   c == U':' || c == U'|';
    if (!allowed) return false;
  }
  return true;
}

}  // namespace tvr
