#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/Bytes.h"

namespace tvr {

// The details an S3 service puts in its XML error document. A plain value; parsing never
// throws: a body that is absent, empty or carries none of the three tags gives no details.
struct S3ProviderError {
  std::optional<std::string> code;
  std::optional<std::string> message;
  std::optional<std::string> requestID;

  // Looks at the first 65,536 bytes only.
  static std::optional<S3ProviderError> parse(const std::optional<Bytes>& data);
  // A plain text search for "<tag>" … "</tag>" (no attributes), trimmed, the five XML
  // entities replaced ("&amp;" last); an empty value counts as absent.
  static std::optional<std::string> xmlTagValue(std::string_view tag, std::string_view text);

  bool operator==(const S3ProviderError& other) const = default;
};

}  // namespace tvr
