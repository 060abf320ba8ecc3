#pragma once

// Helpers shared by the front-end tests: running a command line in process with captured
// sinks, golden files, and temporary directories that remove themselves.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "BackupCLI/BackupCLI.h"

namespace tvr::cli::testing {

struct Outcome {
  std::string out;
  std::string err;
  int status = -1;
};

inline Outcome runCLI(const std::vector<std::string>& arguments, const Environment& environment = {}) {
  Outcome outcome;
  BackupCLI cli(environment);
  outcome.status = cli.run(
      arguments, [&](const std::string& line) { outcome.out += line + "\n"; },
      [&](const std::string& line) { outcome.err += line + "\n"; });
  return outcome;
}

inline std::string readText(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  std::stringstream buffer;
  buffer << stream.rdbuf();
  return buffer.str();
}

inline std::string golden(const std::string& name) {
  std::string text = readText(std::filesystem::path(TVR_SOURCE_DIR) / "tests/cli/golden" / name);
  EXPECT_FALSE(text.empty()) << "missing golden file " << name;
  return text;
}

class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tvr-cli-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path write(const std::string& name, const std::string& contents = "x") const {
    std::filesystem::path file = path_ / name;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << contents;
    return file;
  }
  std::filesystem::path makeDirectory(const std::string& name) const {
    std::filesystem::path directory = path_ / name;
    std::filesystem::create_directories(directory);
    return directory;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace tvr::cli::testing
