#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tvr {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(std::string_view text);
std::string stringOf(const Bytes& bytes);
// The bytes as text, without a copy; valid while `bytes` is unchanged.
inline std::string_view textView(const Bytes& bytes) {
  return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// Lower-case hexadecimal, two digits per byte.
std::string hexEncode(const std::uint8_t* data, std::size_t size);
inline std::string hexEncode(const Bytes& bytes) { return hexEncode(bytes.data(), bytes.size()); }
// Accepts upper- and lower-case digits; nullopt for an odd length or a non-hex character.
std::optional<Bytes> hexDecode(std::string_view hex);

// Standard Base64 with padding.
std::string base64Encode(const Bytes& bytes);
// Strict: standard alphabet, padding required, no whitespace; nullopt otherwise.
std::optional<Bytes> base64Decode(std::string_view text);

// Overwrites memory in a way the compiler does not remove (key material).
void secureWipe(void* data, std::size_t size);

// Bytes that are wiped when dropped: for keys and passwords.
class SecretBytes {
 public:
  SecretBytes() = default;
  explicit SecretBytes(Bytes bytes) : bytes_(std::move(bytes)) {}
  SecretBytes(const std::uint8_t* data, std::size_t size) : bytes_(data, data + size) {}
  SecretBytes(const SecretBytes& other) = default;
  SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)) {}
  SecretBytes& operator=(const SecretBytes& other);
  SecretBytes& operator=(SecretBytes&& other) noexcept;
  ~SecretBytes();

  const Bytes& bytes() const noexcept { return bytes_; }
  const std::uint8_t* data() const noexcept { return bytes_.data(); }
  std::size_t size() const noexcept { return bytes_.size(); }
  bool operator==(const SecretBytes& other) const { return bytes_ == other.bytes_; }

 private:
  void wipe() noexcept;
  Bytes bytes_;
};

}  // namespace tvr
