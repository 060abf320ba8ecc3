#pragma once

#include "engine/metadata/RepositoryEncryptionMetadata.h"
#include "platform/Bytes.h"

namespace tvr::test {

// Encryption settings every reader and writer accepts, with a placeholder wrapped key.
inline RepositoryEncryptionMetadata supportedEncryption() {
  RepositoryEncryptionMetadata encryption;
  encryption.version = 1;
  encryption.blobAlgorithm = "AES-256-GCM";
  encryption.compressionAlgorithm = "LZFSE";
  encryption.keyDerivationAlgorithm = "HKDF-SHA256";
  encryption.recoveryWrappedKey =
      WrappedRepositoryKey{"AES-256-GCM", "PBKDF2-HMAC-SHA256", 210000, Bytes(16, 0x11), Bytes(60, 0x22)};
  return encryption;
}

}  // namespace tvr::test
