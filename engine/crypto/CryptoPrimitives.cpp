#include "engine/crypto/CryptoPrimitives.h"

#include <fcntl.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <algorithm>
#include <climits>
#include <string>

#include "platform/FileSystem.h"
#include "platform/SecureRandom.h"

namespace tvr::crypto {

CipherError::CipherError(Case kind, std::string message)
    : Error("CryptoError", static_cast<long>(kind), std::move(message)), kind_(kind) {}

CipherError CipherError::incorrectParameterSize() {
  return CipherError(Case::incorrectParameterSize, "The sealed data is too short for AES-GCM.");
}
CipherError CipherError::authenticationFailure() {
  return CipherError(Case::authenticationFailure, "AES-GCM authentication failed.");
}
CipherError CipherError::libraryFailure(std::string_view operation) {
  return CipherError(Case::libraryFailure, "OpenSSL " + std::string(operation) + " failed.");
}

namespace {

struct KdfFree {
  void operator()(EVP_KDF* kdf) const noexcept { EVP_KDF_free(kdf); }
};
struct KdfCtxFree {
  void operator()(EVP_KDF_CTX* context) const noexcept { EVP_KDF_CTX_free(context); }
};
struct MacFree {
  void operator()(EVP_MAC* mac) const noexcept { EVP_MAC_free(mac); }
};

// OpenSSL takes int lengths; the pieces fed at once are split so no size overflows.
constexpr std::size_t maximumUpdate = static_cast<std::size_t>(INT_MAX) & ~std::size_t{15};

void require(int ok, std::string_view operation) {
  if (ok != 1) throw CipherError::libraryFailure(operation);
}

// The fetched algorithms are immutable and shared by all threads.
EVP_MAC* hmacAlgorithm() {
  static const std::unique_ptr<EVP_MAC, MacFree> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
  if (!mac) throw CipherError::libraryFailure("EVP_MAC_fetch(HMAC)");
  return mac.get();
}
EVP_KDF* hkdfAlgorithm() {
  static const std::unique_ptr<EVP_KDF, KdfFree> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
  if (!kdf) throw CipherError::libraryFailure("EVP_KDF_fetch(HKDF)");
  return kdf.get();
}
const EVP_CIPHER* aes256GCM() {
  static const EVP_CIPHER* cipher = EVP_aes_256_gcm();
  return cipher;
}

}  // namespace

SecretBytes hkdfSHA256(const std::uint8_t* ikm, std::size_t ikmSize, std::string_view salt, std::string_view info,
                       std::size_t outputLength) {
  std::unique_ptr<EVP_KDF_CTX, KdfCtxFree> context(EVP_KDF_CTX_new(hkdfAlgorithm()));
  if (!context) throw CipherError::libraryFailure("EVP_KDF_CTX_new");
  char digest[] = "SHA256";
  // OpenSSL refuses null pointers even for empty values, so empty inputs point here.
  static char empty[1] = {0};
  auto octets = [](const char* name, const void* data, std::size_t size) {
    return OSSL_PARAM_construct_octet_string(name, size == 0 ? empty : const_cast<void*>(data), size);
  };
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
                         octets(OSSL_KDF_PARAM_KEY, ikm, ikmSize),
                         octets(OSSL_KDF_PARAM_SALT, salt.data(), salt.size()),
                         octets(OSSL_KDF_PARAM_INFO, info.data(), info.size()), OSSL_PARAM_construct_end()};
  Bytes out(outputLength);
  if (EVP_KDF_derive(context.get(), out.data(), out.size(), params) != 1) {
    secureWipe(out.data(), out.size());
    throw CipherError::libraryFailure("HKDF");
  }
  return SecretBytes(std::move(out));
}

SecretBytes hkdfSHA256(const Bytes& ikm, const Bytes& salt, const Bytes& info, std::size_t outputLength) {
  return hkdfSHA256(ikm.data(), ikm.size(), std::string_view(reinterpret_cast<const char*>(salt.data()), salt.size()),
                    std::string_view(reinterpret_cast<const char*>(info.data()), info.size()), outputLength);
}

Digest sha256(const std::uint8_t* data, std::size_t size) {
  Digest out{};
  unsigned int length = 0;
  require(EVP_Digest(data, size, out.data(), &length, EVP_sha256(), nullptr), "SHA-256");
  return out;
}

std::string sha256Hex(const std::uint8_t* data, std::size_t size) {
  const Digest digest = sha256(data, size);
  return hexEncode(digest.data(), digest.size());
}

void SHA256::Free::operator()(evp_md_ctx_st* context) const noexcept { EVP_MD_CTX_free(context); }

SHA256::SHA256() : context_(EVP_MD_CTX_new()) {
  if (!context_) throw CipherError::libraryFailure("SHA-256");
  require(EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr), "SHA-256");
}

SHA256::~SHA256() = default;

void SHA256::update(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  require(EVP_DigestUpdate(context_.get(), data, size), "SHA-256");
}

Digest SHA256::finish() {
  Digest out{};
  unsigned int length = 0;
  require(EVP_DigestFinal_ex(context_.get(), out.data(), &length), "SHA-256");
  if (length != out.size()) throw CipherError::libraryFailure("SHA-256");
  return out;
}

std::string SHA256::finishHex() {
  const Digest digest = finish();
  return hexEncode(digest.data(), digest.size());
}

std::string sha256HexOfFile(const std::filesystem::path& file, std::size_t chunkSize) {
  OpenFile in = openFile(file, O_RDONLY);
  SHA256 hash;
  Bytes buffer(chunkSize == 0 ? 1 : chunkSize);
  while (const std::size_t count = readFully(in.get(), buffer.data(), buffer.size(), file)) {
    hash.update(buffer.data(), count);
  }
  return hash.finishHex();
}

void HMACSHA256::Free::operator()(evp_mac_ctx_st* context) const noexcept { EVP_MAC_CTX_free(context); }

HMACSHA256::HMACSHA256(const std::uint8_t* key, std::size_t keySize) : context_(EVP_MAC_CTX_new(hmacAlgorithm())) {
  if (!context_) throw CipherError::libraryFailure("EVP_MAC_CTX_new");
  char digest[] = "SHA256";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                         OSSL_PARAM_construct_end()};
  // OpenSSL rejects a null key pointer even for an empty key.
  static const std::uint8_t emptyKey = 0;
  require(EVP_MAC_init(context_.get(), keySize == 0 ? &emptyKey : key, keySize, params), "HMAC init");
}

HMACSHA256::HMACSHA256(evp_mac_ctx_st* context) : context_(context) {
  if (!context_) throw CipherError::libraryFailure("EVP_MAC_CTX_dup");
}

HMACSHA256::~HMACSHA256() = default;

HMACSHA256 HMACSHA256::copy() const { return HMACSHA256(EVP_MAC_CTX_dup(context_.get())); }

void HMACSHA256::update(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  require(EVP_MAC_update(context_.get(), data, size), "HMAC update");
}

Digest HMACSHA256::finish() {
  Digest out{};
  std::size_t length = 0;
  require(EVP_MAC_final(context_.get(), out.data(), &length, out.size()), "HMAC final");
  if (length != out.size()) throw CipherError::libraryFailure("HMAC final");
  return out;
}

Digest HMACSHA256::compute(const SecretBytes& key, const std::uint8_t* data, std::size_t size) {
  HMACSHA256 mac(key);
  mac.update(data, size);
  return mac.finish();
}

void AESGCM::Free::operator()(evp_cipher_ctx_st* context) const noexcept { EVP_CIPHER_CTX_free(context); }

AESGCM::AESGCM(const SecretBytes& key) : key_(key), context_(EVP_CIPHER_CTX_new()) {
  if (key_.size() != aesKeySize) throw CipherError::libraryFailure("AES-256-GCM key size check");
  if (!context_) throw CipherError::libraryFailure("EVP_CIPHER_CTX_new");
}

AESGCM::~AESGCM() = default;

void AESGCM::seal(const std::uint8_t* nonce, const std::uint8_t* plaintext, std::size_t size, const std::uint8_t* aad,
                  std::size_t aadSize, std::uint8_t* ciphertext, std::uint8_t* tag) {
  EVP_CIPHER_CTX* c = context_.get();
  require(EVP_EncryptInit_ex2(c, aes256GCM(), key_.data(), nonce, nullptr), "AES-GCM init");
  int length = 0;
  for (std::size_t done = 0; done < aadSize;) {
    int piece = static_cast<int>(std::min(aadSize - done, maximumUpdate));
    require(EVP_EncryptUpdate(c, nullptr, &length, aad + done, piece), "AES-GCM update");
    done += static_cast<std::size_t>(piece);
  }
  std::size_t written = 0;
  for (std::size_t done = 0; done < size;) {
    int piece = static_cast<int>(std::min(size - done, maximumUpdate));
    require(EVP_EncryptUpdate(c, ciphertext + written, &length, plaintext + done, piece), "AES-GCM update");
    written += static_cast<std::size_t>(length);
    done += static_cast<std::size_t>(piece);
  }
  // GCM emits nothing at the end; a scratch target keeps OpenSSL away from a null pointer.
  std::uint8_t tail[16];
  require(EVP_EncryptFinal_ex(c, tail, &length), "AES-GCM final");
  require(EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_GET_TAG, static_cast<int>(aesGCMTagSize), tag), "AES-GCM tag");
}

void AESGCM::open(const std::uint8_t* nonce, const std::uint8_t* ciphertext, std::size_t size, const std::uint8_t* tag,
                  const std::uint8_t* aad, std::size_t aadSize, std::uint8_t* plaintext) {
  EVP_CIPHER_CTX* c = context_.get();
  require(EVP_DecryptInit_ex2(c, aes256GCM(), key_.data(), nonce, nullptr), "AES-GCM init");
  int length = 0;
  for (std::size_t done = 0; done < aadSize;) {
    int piece = static_cast<int>(std::min(aadSize - done, maximumUpdate));
    require(EVP_DecryptUpdate(c, nullptr, &length, aad + done, piece), "AES-GCM update");
    done += static_cast<std::size_t>(piece);
  }
  std::size_t written = 0;
  for (std::size_t done = 0; done < size;) {
    int piece = static_cast<int>(std::min(size - done, maximumUpdate));
    require(EVP_DecryptUpdate(c, plaintext + written, &length, ciphertext + done, piece), "AES-GCM update");
    written += static_cast<std::size_t>(length);
    done += static_cast<std::size_t>(piece);
  }
  require(EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_SET_TAG, static_cast<int>(aesGCMTagSize), const_cast<std::uint8_t*>(tag)),
          "AES-GCM tag");
  std::uint8_t tail[16];
  if (EVP_DecryptFinal_ex(c, tail, &length) != 1) {
    // Unauthenticated plaintext must not reach anyone.
    if (size > 0) secureWipe(plaintext, size);
    throw CipherError::authenticationFailure();
  }
}

Bytes AESGCM::sealCombined(const std::uint8_t* plaintext, std::size_t size, const std::uint8_t* aad,
                           std::size_t aadSize) {
  Bytes out(aesGCMOverhead + size);
  Bytes nonce = secureRandomBytes(aesGCMNonceSize);
  std::copy(nonce.begin(), nonce.end(), out.begin());
  seal(out.data(), plaintext, size, aad, aadSize, out.data() + aesGCMNonceSize, out.data() + aesGCMNonceSize + size);
  return out;
}

Bytes AESGCM::openCombined(const std::uint8_t* combined, std::size_t size, const std::uint8_t* aad,
                           std::size_t aadSize) {
  if (size < aesGCMOverhead) throw CipherError::incorrectParameterSize();
  std::size_t ciphertextSize = size - aesGCMOverhead;
  Bytes out(ciphertextSize);
  open(combined, combined + aesGCMNonceSize, ciphertextSize, combined + aesGCMNonceSize + ciphertextSize, aad, aadSize,
       out.data());
  return out;
}

}  // namespace tvr::crypto
