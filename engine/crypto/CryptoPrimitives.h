#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Bytes.h"
#include "platform/Error.h"

// OpenSSL handle types, declared here so this header stays free of OpenSSL includes.
struct evp_mac_ctx_st;
struct evp_cipher_ctx_st;
struct evp_md_ctx_st;

// The engine's thin layer over OpenSSL 3 (EVP): HKDF-SHA256, HMAC-SHA256, SHA-256 and
// AES-256-GCM in the combined form nonce(12) || ciphertext || tag(16). Used by the key
// material, the path codec, the blob codec and the recovery wrapping, and tested on its
// own against published vectors.
namespace tvr::crypto {

inline constexpr std::size_t sha256Size = 32;
inline constexpr std::size_t aesKeySize = 32;
inline constexpr std::size_t aesGCMNonceSize = 12;
inline constexpr std::size_t aesGCMTagSize = 16;
inline constexpr std::size_t aesGCMOverhead = aesGCMNonceSize + aesGCMTagSize;

using Digest = std::array<std::uint8_t, sha256Size>;

// Errors of the cipher layer (domain "CryptoError"); callers that care tell the cases apart.
class CipherError : public Error {
 public:
  enum class Case { incorrectParameterSize = 1, authenticationFailure = 2, libraryFailure = 3 };
  static CipherError incorrectParameterSize();                    // "The sealed data is too short for AES-GCM."
  static CipherError authenticationFailure();                     // "AES-GCM authentication failed."
  static CipherError libraryFailure(std::string_view operation);  // "OpenSSL <op> failed."
  Case kind() const noexcept { return kind_; }

 private:
  CipherError(Case kind, std::string message);
  Case kind_;
};

// RFC 5869 with SHA-256.
SecretBytes hkdfSHA256(const std::uint8_t* ikm, std::size_t ikmSize, std::string_view salt, std::string_view info,
                       std::size_t outputLength);
SecretBytes hkdfSHA256(const Bytes& ikm, const Bytes& salt, const Bytes& info, std::size_t outputLength);

Digest sha256(const std::uint8_t* data, std::size_t size);

// SHA-256 as 64 lowercase hexadecimal digits.
std::string sha256Hex(const std::uint8_t* data, std::size_t size);
inline std::string sha256Hex(std::string_view text) {
  return sha256Hex(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}
inline std::string sha256Hex(const Bytes& data) { return sha256Hex(data.data(), data.size()); }

// Lowercase hex SHA-256 of a whole file read in chunks of at most `chunkSize` bytes (1 when
// 0). Open and read failures throw PosixError naming the file.
std::string sha256HexOfFile(const std::filesystem::path& file, std::size_t chunkSize);

// Incremental SHA-256. Not thread-safe; one per computation.
class SHA256 {
 public:
  SHA256();
  ~SHA256();
  SHA256(const SHA256&) = delete;
  SHA256& operator=(const SHA256&) = delete;

  void update(const std::uint8_t* data, std::size_t size);
  // May be called once.
  Digest finish();
  std::string finishHex();

 private:
  struct Free {
    void operator()(evp_md_ctx_st* context) const noexcept;
  };
  std::unique_ptr<evp_md_ctx_st, Free> context_;
};

// Incremental HMAC-SHA256. Not thread-safe; one per computation.
class HMACSHA256 {
 public:
  HMACSHA256(const std::uint8_t* key, std::size_t keySize);
  explicit HMACSHA256(const SecretBytes& key) : HMACSHA256(key.data(), key.size()) {}
  ~HMACSHA256();
  HMACSHA256(const HMACSHA256&) = delete;
  HMACSHA256& operator=(const HMACSHA256&) = delete;
  HMACSHA256(HMACSHA256&&) noexcept = default;
  HMACSHA256& operator=(HMACSHA256&&) noexcept = default;

  // A second context in this one's state: cheaper than keying a new one, so a context keyed
  // once can be copied for every message. Safe while other threads copy the same source.
  HMACSHA256 copy() const;

  void update(const std::uint8_t* data, std::size_t size);
  // May be called once.
  Digest finish();

  static Digest compute(const SecretBytes& key, const std::uint8_t* data, std::size_t size);
  static Digest compute(const Bytes& key, const Bytes& data) {
    HMACSHA256 mac(key.data(), key.size());
    mac.update(data.data(), data.size());
    return mac.finish();
  }

 private:
  struct Free {
    void operator()(evp_mac_ctx_st* context) const noexcept;
  };
  explicit HMACSHA256(evp_mac_ctx_st* context);
  std::unique_ptr<evp_mac_ctx_st, Free> context_;
};

// AES-256-GCM under one key, with 12-byte nonces and 16-byte tags. Holds an OpenSSL cipher
// context so a stream of chunks reuses it. Not thread-safe; one per operation.
class AESGCM {
 public:
  explicit AESGCM(const SecretBytes& key);
  ~AESGCM();
  AESGCM(const AESGCM&) = delete;
  AESGCM& operator=(const AESGCM&) = delete;

  // Writes size bytes of ciphertext to `ciphertext` and 16 bytes to `tag`.
  void seal(const std::uint8_t* nonce, const std::uint8_t* plaintext, std::size_t size, const std::uint8_t* aad,
            std::size_t aadSize, std::uint8_t* ciphertext, std::uint8_t* tag);
  // Writes size bytes of plaintext; throws authenticationFailure when the tag does not match
  // (the output then holds no usable data).
  void open(const std::uint8_t* nonce, const std::uint8_t* ciphertext, std::size_t size, const std::uint8_t* tag,
            const std::uint8_t* aad, std::size_t aadSize, std::uint8_t* plaintext);

  // Combined form with a fresh random nonce: nonce || ciphertext || tag.
  Bytes sealCombined(const std::uint8_t* plaintext, std::size_t size, const std::uint8_t* aad, std::size_t aadSize);
  // Opens the combined form; shorter than 28 bytes throws incorrectParameterSize.
  Bytes openCombined(const std::uint8_t* combined, std::size_t size, const std::uint8_t* aad, std::size_t aadSize);

 private:
  struct Free {
    void operator()(evp_cipher_ctx_st* context) const noexcept;
  };
  SecretBytes key_;
  std::unique_ptr<evp_cipher_ctx_st, Free> context_;
};

}  // namespace tvr::crypto
