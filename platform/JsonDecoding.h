#pragma once

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/Iso8601.h"

namespace tvr {

// The JSON decoder's own error: a document that is not valid JSON, a missing key, a value
// of the wrong type or a value that does not decode (bad Base64, a date in another form).
// Domain "JSONDecoder"; the code tells the kind apart; the message names the key path.
class DecodingError : public Error {
 public:
  enum class Kind { dataCorrupted = 1, keyNotFound = 2, typeMismatch = 3 };

  DecodingError(Kind kind, std::string codingPath, std::string message)
      : Error("JSONDecoder", static_cast<long>(kind), std::move(message)),
        kind_(kind),
        codingPath_(std::move(codingPath)) {}

  Kind kind() const noexcept { return kind_; }
  // Dotted key path of the failing value ("plans[0].settings.version"); empty for the root.
  const std::string& codingPath() const noexcept { return codingPath_; }

 private:
  Kind kind_;
  std::string codingPath_;
};

// Parses a whole JSON document. Syntax errors (and invalid UTF-8) and numbers too large for a
// double ("1e400") become a dataCorrupted DecodingError; no nlohmann exception escapes.
inline nlohmann::json parseJsonDocument(std::string_view text) {
  try {
    return nlohmann::json::parse(text.begin(), text.end());
  } catch (const nlohmann::json::parse_error& error) {
    throw DecodingError(DecodingError::Kind::dataCorrupted, "",
                        "The data is not valid JSON (error at byte " + std::to_string(error.byte) + ").");
  } catch (const nlohmann::json::out_of_range&) {
    throw DecodingError(DecodingError::Kind::dataCorrupted, "",
                        "The data is not valid JSON (a number is out of range).");
  }
}
inline nlohmann::json parseJsonDocument(const Bytes& data) {
  return parseJsonDocument(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

// Typed, strict access to the members of one JSON object, for hand-written decoders.
// Unknown members are ignored; every failure is a DecodingError naming the key path.
// Holds a reference to the decoded value: the value must outlive the decoder.
class JsonObjectDecoder {
 public:
  explicit JsonObjectDecoder(const nlohmann::json& value, std::string codingPath = {})
      : value_(value), codingPath_(std::move(codingPath)) {
    if (!value_.is_object()) {
      throw DecodingError(DecodingError::Kind::typeMismatch, codingPath_,
                          codingPath_.empty() ? std::string("The JSON document must be an object.")
                                              : "JSON key \"" + codingPath_ + "\" must be an object.");
    }
  }

  const std::string& codingPath() const noexcept { return codingPath_; }
  std::string pathOf(std::string_view key) const {
    return codingPath_.empty() ? std::string(key) : codingPath_ + "." + std::string(key);
  }

  // The member is there, even as null (for documents where a null is a bad value).
  bool contains(std::string_view key) const { return value_.find(key) != value_.end(); }
  // The member, or nullptr when it is absent or null (an optional value that is not there).
  const nlohmann::json* optional(std::string_view key) const {
    auto it = value_.find(key);
    if (it == value_.end() || it->is_null()) return nullptr;
    return &*it;
  }
  const nlohmann::json& require(std::string_view key) const {
    auto it = value_.find(key);
    if (it == value_.end()) {
      throw DecodingError(DecodingError::Kind::keyNotFound, pathOf(key),
                          "JSON key \"" + pathOf(key) + "\" is missing.");
    }
    return *it;
  }

  std::int64_t int64(std::string_view key) const {
    const nlohmann::json& v = require(key);
    if (v.is_number_integer() && !v.is_number_unsigned()) return v.get<std::int64_t>();
    if (v.is_number_unsigned() &&
        v.get<std::uint64_t>() <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return static_cast<std::int64_t>(v.get<std::uint64_t>());
    }
    throw mismatch(key, "a 64-bit integer");
  }
  std::string string(std::string_view key) const {
    const nlohmann::json& v = require(key);
    if (!v.is_string()) throw mismatch(key, "a string");
    return v.get<std::string>();
  }
  bool boolean(std::string_view key) const {
    const nlohmann::json& v = require(key);
    if (!v.is_boolean()) throw mismatch(key, "a boolean");
    return v.get<bool>();
  }
  // Standard Base64 with padding.
  Bytes base64(std::string_view key) const {
    auto decoded = base64Decode(string(key));
    if (!decoded) throw corrupted(key, "is not valid Base64");
    return *decoded;
  }
  // ISO 8601 "YYYY-MM-DDTHH:MM:SSZ" (no fractional seconds), as Unix-epoch seconds.
  double date(std::string_view key) const {
    auto parsed = parseISO8601(string(key));
    if (!parsed) throw corrupted(key, "is not a date in the form YYYY-MM-DDTHH:MM:SSZ");
    return *parsed;
  }
  JsonObjectDecoder object(std::string_view key) const { return JsonObjectDecoder(require(key), pathOf(key)); }
  const nlohmann::json& array(std::string_view key) const {
    const nlohmann::json& v = require(key);
    if (!v.is_array()) throw mismatch(key, "an array");
    return v;
  }

  DecodingError mismatch(std::string_view key, std::string_view expected) const {
    return DecodingError(DecodingError::Kind::typeMismatch, pathOf(key),
                         "JSON key \"" + pathOf(key) + "\" must be " + std::string(expected) + ".");
  }
  DecodingError corrupted(std::string_view key, std::string_view what) const {
    return DecodingError(DecodingError::Kind::dataCorrupted, pathOf(key),
                         "JSON key \"" + pathOf(key) + "\" " + std::string(what) + ".");
  }

 private:
  const nlohmann::json& value_;
  std::string codingPath_;
};

}  // namespace tvr
