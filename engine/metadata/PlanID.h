#pragma once

#include <compare>
#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>

namespace tvr {

// A backup plan's identifier. Construction does not validate; callers that take
// identifiers from outside check isValid(): not empty, and every Unicode scalar a letter,
// mark or number (any script) or one of "-_.:|".
class PlanID {
 public:
  PlanID() = default;
  PlanID(std::string rawValue) : raw_(std::move(rawValue)) {}  // NOLINT: from a literal
  PlanID(const char* rawValue) : raw_(rawValue) {}             // NOLINT

  const std::string& rawValue() const noexcept { return raw_; }
  const std::string& description() const noexcept { return raw_; }
  bool isValid() const { return isValid(raw_); }
  static bool isValid(std::string_view text);

  bool operator==(const PlanID& other) const = default;
  auto operator<=>(const PlanID& other) const = default;

 private:
  std::string raw_;
};

// JSON form: a single string. Decoding does not validate; a non-string throws DecodingError.
void to_json(nlohmann::json& json, const PlanID& id);
void from_json(const nlohmann::json& json, PlanID& id);

}  // namespace tvr

template <>
struct std::hash<tvr::PlanID> {
  std::size_t operator()(const tvr::PlanID& id) const noexcept { return std::hash<std::string>()(id.rawValue()); }
};
