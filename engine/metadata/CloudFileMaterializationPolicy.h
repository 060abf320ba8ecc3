#pragma once

#include <optional>
#include <string_view>

namespace tvr {

// What a backup does with files that exist only in cloud storage. JSON form: its text.
enum class CloudFileMaterializationPolicy { treatAsError, skip, materialize };

// "treatAsError", "skip", "materialize".
std::string_view toString(CloudFileMaterializationPolicy policy);
// nullopt for any other text (exact, case-sensitive).
std::optional<CloudFileMaterializationPolicy> cloudFileMaterializationPolicyFromString(std::string_view text);

}  // namespace tvr
