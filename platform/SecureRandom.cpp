#include "platform/SecureRandom.h"

#include <openssl/rand.h>

#include <cstdio>

#include "platform/Error.h"

namespace tvr {

Bytes secureRandomBytes(std::size_t count) {
  Bytes out(count);
  if (count > 0 && RAND_bytes(out.data(), static_cast<int>(count)) != 1) {
    throw platformError("SecureRandom", "The secure random generator failed.");
  }
  return out;
}

std::string newUUIDString() {
  Bytes b = secureRandomBytes(16);
  b[6] = static_cast<std::uint8_t>((b[6] & 0x0f) | 0x40);
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3f) | 0x80);
  char text[37];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return text;
}

}  // namespace tvr
