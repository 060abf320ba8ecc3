#include "engine/metadata/CloudFileMaterializationPolicy.h"

#include <array>
#include <utility>

namespace tvr {

namespace {

constexpr std::array<std::pair<CloudFileMaterializationPolicy, std::string_view>, 3> kNames{{
    {CloudFileMaterializationPolicy::treatAsError, "treatAsError"},
    {CloudFileMaterializationPolicy::skip, "skip"},
    {CloudFileMaterializationPolicy::materialize, "materialize"},
}};

}  // namespace

std::string_view toString(CloudFileMaterializationPolicy policy) {
  for (const auto& [value, name] : kNames) {
    if (value == policy) return name;
  }
  return {};
}

std::optional<CloudFileMaterializationPolicy> cloudFileMaterializationPolicyFromString(std::string_view text) {
  for (const auto& [value, name] : kNames) {
    if (name == text) return value;
  }
  return std::nullopt;
}

}  // namespace tvr
