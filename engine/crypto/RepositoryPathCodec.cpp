#include "engine/crypto/RepositoryPathCodec.h"

#include "engine/crypto/CryptoPrimitives.h"
#include "platform/Error.h"
#include "platform/Unicode.h"

namespace tvr {

namespace {

const std::uint8_t* bytesOfText(std::string_view text) { return reinterpret_cast<const std::uint8_t*>(text.data()); }

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
  if (!unicode::isValidUTF8(textView(plaintext))) {
    throw Error("RepositoryPathCodec", 1, "Encrypted repository path is not valid UTF-8.");
  }
  return stringOf(plaintext);
}

}  // namespace tvr
