#include "platform/Bytes.h"

#include <string.h>

namespace tvr {

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }
std::string stringOf(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string hexEncode(const std::uint8_t* data, std::size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string out(size * 2, '0');
  for (std::size_t i = 0; i < size; ++i) {
    out[2 * i] = digits[data[i] >> 4];
    out[2 * i + 1] = digits[data[i] & 0x0f];
  }
  return out;
}

namespace {
int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}
}  // namespace

std::optional<Bytes> hexDecode(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  Bytes out(hex.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    int hi = hexValue(hex[2 * i]);
    int lo = hexValue(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
  }
  return out;
}

std::string base64Encode(const Bytes& bytes) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t v = bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2];
    out += alphabet[v >> 18 & 63];
    out += alphabet[v >> 12 & 63];
    out += alphabet[v >> 6 & 63];
    out += alphabet[v & 63];
  }
  std::size_t rest = bytes.size() - i;
  if (rest == 1) {
    std::uint32_t v = bytes[i] << 16;
    out += alphabet[v >> 18 & 63];
    out += alphabet[v >> 12 & 63];
    out += "==";
  } else if (rest == 2) {
    std::uint32_t v = bytes[i] << 16 | bytes[i + 1] << 8;
    out += alphabet[v >> 18 & 63];
    out += alphabet[v >> 12 & 63];
    out += alphabet[v >> 6 & 63];
    out += '=';
  }
  return out;
}

std::optional<Bytes> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  Bytes out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    bool last = i + 4 == text.size();
    int v[4];
    int padding = 0;
    for (int j = 0; j < 4; ++j) {
      char c = text[i + j];
      if (c == '=' && last && j >= 2) {
        v[j] = 0;
        ++padding;
        continue;
      }
      if (padding > 0) return std::nullopt;  // data after padding
      v[j] = base64Value(c);
      if (v[j] < 0) return std::nullopt;
    }
    std::uint32_t word = v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3];
    out.push_back(static_cast<std::uint8_t>(word >> 16));
    if (padding < 2) out.push_back(static_cast<std::uint8_t>(word >> 8));
    if (padding < 1) out.push_back(static_cast<std::uint8_t>(word));
  }
  return out;
}

void secureWipe(void* data, std::size_t size) {
  if (data != nullptr && size > 0) explicit_bzero(data, size);
}

SecretBytes& SecretBytes::operator=(const SecretBytes& other) {
  if (this != &other) {
    wipe();
    bytes_ = other.bytes_;
  }
  return *this;
}

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
  if (this != &other) {
    wipe();
    bytes_ = std::move(other.bytes_);
  }
  return *this;
}

SecretBytes::~SecretBytes() { wipe(); }

void SecretBytes::wipe() noexcept { secureWipe(bytes_.data(), bytes_.size()); }

}  // namespace tvr
