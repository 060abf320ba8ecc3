#include "engine/crypto/RecoveryPasswordPolicy.h"

#include <unicode/uchar.h>

#include "platform/Error.h"
#include "platform/Unicode.h"

namespace tvr {

namespace {

// Unicode white space and newlines: the separators (Zs, Zl, Zp), the controls U+0009 to
// U+000D and NEXT LINE (U+0085).
bool isWhitespaceOrNewline(char32_t c) {
  if ((c >= 0x09 && c <= 0x0D) || c == 0x85) return true;
  switch (u_charType(static_cast<UChar32>(c))) {
    case U_SPACE_SEPARATOR:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
      return true;
    default:
      return false;
  }
}

}  // namespace

void RecoveryPasswordPolicy::validate(std::string_view password) {
  if (password.empty()) return;
  // Trimming changes the text exactly when its first or last scalar is white space.
  std::u32string scalars = unicode::toUTF32(password);
  if (isWhitespaceOrNewline(scalars.front()) || isWhitespaceOrNewline(scalars.back())) {
    throw Error("RecoveryPasswordPolicy", 1, "Recovery password cannot begin or end with whitespace.");
  }
}

bool RecoveryPasswordPolicy::shouldWarnAboutLength(std::string_view password) {
  if (password.empty()) return false;
  return unicode::graphemeClusterCount(password) < warningLength;
}

}  // namespace tvr
