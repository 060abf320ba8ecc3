#include "engine/crypto/RepositoryPathCodec.h"

#include "engine/crypto/CryptoPrimitives.h"
#include "platform/Error.h"
#include "platform/Unicode.h"

namespace tvr {

namespace {

const std::uint8_t* bytesOfText(std::string_view text) { return reinterpret_cast<const std::uint8_t*>(text.data()); }

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUTF8(const Bytes& bytes) {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    std::uint8_t b = bytes[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    std::size_t length;
    std::uint32_t lowest;
    std::uint32_t value;
    if ((b & 0xE0) == 0xC0) {
      length = 2, lowest = 0x80, value = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      length = 3, lowest = 0x800, value = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      length = 4, lowest = 0x10000, value = b & 0x07;
    } else {
      return false;
    }
    if (n - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      std::uint8_t c = bytes[i + k];
      if ((c & 0xC0) != 0x80) return false;
      value = (value << 6) | (c & 0x3F);
    }
    if (value < lowest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

}  // namespace

std::string normalizedRelPath(std::string_view relPath, bool caseInsensitive) {
  if (!caseInsensitive) return std::string(relPath);
  return unicode::lowercased(unicode::nfc(relPath));
}

std::string RepositoryPathCodec::pathIDForNormalizedPath(std::string_view normalizedPath) const {
  std::size_t first = normalizedPath.find_first_not_of('/');
  std::string_view trimmed;
  if (first != std::string_view::npos) {
    std::size_t last = normalizedPath.find_last_not_of('/');
    trimmed = normalizedPath.substr(first, last - first + 1);
  }
  crypto::Digest digest = crypto::HMACSHA256::compute(pathIDKey_, bytesOfText(trimmed), trimmed.size());
  return hexEncode(digest.data(), digest.size());
}

Bytes RepositoryPathCodec::sealPath(std::string_view path) const {
  crypto::AESGCM cipher(pathEncryptionKey_);
  return cipher.sealCombined(bytesOfText(path), path.size(), nullptr, 0);
}

std::string RepositoryPathCodec::openPath(const Bytes& sealed) const {
  // The size check comes before any key is derived.
  if (sealed.size() < crypto::aesGCMOverhead) throw crypto::CipherError::incorrectParameterSize();
  crypto::AESGCM cipher(pathEncryptionKey_);
  Bytes plaintext = cipher.openCombined(sealed.data(), sealed.size(), nullptr, 0);
  if (!isValidUTF8(plaintext)) {
    throw Error("RepositoryPathCodec", 1, "Encrypted repository path is not valid UTF-8.");
  }
  return stringOf(plaintext);
}

}  // namespace tvr
