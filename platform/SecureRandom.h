#pragma once

#include <cstddef>
#include <string>

#include "platform/Bytes.h"

namespace tvr {

// Bytes from the system's secure random generator; throws Error when it fails.
Bytes secureRandomBytes(std::size_t count);

// A new random (version 4) UUID in upper-case canonical text, e.g. "1F0C...-...".
std::string newUUIDString();

}  // namespace tvr
