#include "tests/support/TempDir.h"

#include <stdlib.h>

#include <stdexcept>
#include <string>
#include <system_error>

#include "tests/support/Files.h"

namespace tvr::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tvr-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + pattern);
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Read-only copies of fixtures must go too.
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

std::filesystem::path TempDir::write(const std::string& name, const std::string& contents) const {
  std::filesystem::path file = path_ / name;
  writeText(file, contents);
  return file;
}

std::filesystem::path TempDir::makeDirectory(const std::string& name) const {
  std::filesystem::path directory = path_ / name;
  std::filesystem::create_directories(directory);
  return directory;
}

}  // namespace tvr::test
