#include "engine/s3/S3ProviderError.h"

#include <algorithm>

#include "platform/Unicode.h"

namespace tvr {

namespace {

constexpr std::size_t kErrorBodyLimit = 65536;

bool isTrimmed(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isTrimmed(text.front())) text.remove_prefix(1);
  while (!text.empty() && isTrimmed(text.back())) text.remove_suffix(1);
  return text;
}

void replaceAll(std::string& text, std::string_view from, std::string_view to) {
  std::size_t at = 0;
  while ((at = text.find(from, at)) != std::string::npos) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
}

// A lossy UTF-8 decoding: an invalid byte (a body cut inside a character) becomes U+FFFD,
// and control characters become spaces, because these texts end up in messages printed to
// a terminal.
std::string sanitizedText(const unsigned char* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string out;
  out.reserve(size);
  for (std::size_t i = 0; i < size;) {
    std::size_t length = unicode::utf8SequenceLength(text, i);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    if (length == 1) {
      unsigned char c = data[i];
      bool control = (c < 0x20 && c != '\n' && c != '\r' && c != '\t') || c == 0x7F;
      out += control ? ' ' : static_cast<char>(c);
    } else {
      out.append(reinterpret_cast<const char*>(data + i), length);
    }
    i += length;
  }
  return out;
}

}  // namespace

std::optional<std::string> S3ProviderError::xmlTagValue(std::string_view tag, std::string_view text) {
  std::string open = "<" + std::string(tag) + ">";
  std::string close = "</" + std::string(tag) + ">";
  std::size_t start = text.find(open);
  if (start == std::string_view::npos) return std::nullopt;
  start += open.size();
  std::size_t end = text.find(close, start);
  if (end == std::string_view::npos) return std::nullopt;
  std::string value(trimmed(text.substr(start, end - start)));
  if (value.empty()) return std::nullopt;
  replaceAll(value, "&quot;", "\"");
  replaceAll(value, "&apos;", "'");
  replaceAll(value, "&lt;", "<");
  replaceAll(value, "&gt;", ">");
  replaceAll(value, "&amp;", "&");
  return value;
}

std::optional<S3ProviderError> S3ProviderError::parse(const std::optional<Bytes>& data) {
  if (!data || data->empty()) return std::nullopt;
  std::string text = sanitizedText(data->data(), std::min(data->size(), kErrorBodyLimit));
  S3ProviderError error;
  error.code = xmlTagValue("Code", text);
  error.message = xmlTagValue("Message", text);
  error.requestID = xmlTagValue("RequestId", text);
  if (!error.requestID) error.requestID = xmlTagValue("RequestID", text);
  if (!error.code && !error.message && !error.requestID) return std::nullopt;
  return error;
}

}  // namespace tvr
