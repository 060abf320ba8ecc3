#pragma once

#include <cstddef>
#include <string_view>

namespace tvr {

// Rules for recovery passwords chosen when a repository is created. Stateless and safe on
// any thread. validate throws tvr::Error ("RecoveryPasswordPolicy", 1, ...).
class RecoveryPasswordPolicy {
 public:
  RecoveryPasswordPolicy() = delete;

  // Below this many user-perceived characters the interface advises a longer password.
  static constexpr std::size_t warningLength = 15;

  // Rejects a password that begins or ends with Unicode whitespace or a newline
  // ("Recovery password cannot begin or end with whitespace."). Nothing else is checked:
  // the empty password and inner whitespace pass.
  static void validate(std::string_view password);

  // True for a non-empty password of fewer than warningLength grapheme clusters.
  static bool shouldWarnAboutLength(std::string_view password);
};

}  // namespace tvr
