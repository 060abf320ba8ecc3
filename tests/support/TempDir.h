#pragma once

#include <filesystem>
#include <string>

namespace tvr::test {

// A fresh directory under the system temporary folder ("tvr-test-XXXXXX"), removed with
// everything in it (read-only items too) when the object goes away. Not copyable. Throws
// std::runtime_error when the directory cannot be made.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const noexcept { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& child) const { return path_ / child; }

  // Writes `contents` to the file `name` below the directory (making its folders) and
  // returns its path.
  std::filesystem::path write(const std::string& name, const std::string& contents = "x") const;
  // Makes the folder `name` below the directory (and its parents) and returns its path.
  std::filesystem::path makeDirectory(const std::string& name) const;

 private:
  std::filesystem::path path_;
};

}  // namespace tvr::test
