#include "fuzz/FuzzSupport.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

namespace tvr::fuzz {

namespace {

void removeScratchFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(scratchFolder(), ignored);
}

}  // namespace

const RepositoryKeyMaterial& fixtureKeyMaterial() {
  static const RepositoryKeyMaterial key(Bytes{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa,
                                               0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x10, 0x21, 0x32, 0x43, 0x54, 0x65,
                                               0x76, 0x87, 0x98, 0xa9, 0xba, 0xcb, 0xdc, 0xed, 0xfe, 0x0f});
  return key;
}

const std::filesystem::path& scratchFolder() {
  static const std::filesystem::path folder = [] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tvr-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create the fuzz scratch folder");
    return std::filesystem::path(pattern);
  }();
  static const bool registered = (std::atexit(removeScratchFolder), true);
  (void)registered;
  return folder;
}

void writeFile(const std::filesystem::path& file, const std::uint8_t* data, std::size_t size) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out.flush()) throw std::runtime_error("cannot write " + file.string());
}

}  // namespace tvr::fuzz
