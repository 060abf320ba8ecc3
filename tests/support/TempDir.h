#pragma once

#include <filesystem>

namespace tvr::test_support {

// A fresh directory under the system temporary folder ("tvr-test-XXXXXX"), removed with
// everything in it when the object goes away. Not copyable. Throws std::runtime_error when
// the directory cannot be made.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const noexcept { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& child) const { return path_ / child; }

 private:
  std::filesystem::path path_;
};

}  // namespace tvr::test_support
