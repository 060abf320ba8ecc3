#pragma once

// Helpers of the front-end tests: running a command line in process with captured sinks,
// and golden files.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "BackupCLI/BackupCLI.h"
#include "tests/support/Files.h"
#include "tests/support/TempDir.h"

namespace tvr::test {

struct Outcome {
  std::string out;
  std::string err;
  int status = -1;
};

inline Outcome runCLI(const std::vector<std::string>& arguments, const cli::Environment& environment = {}) {
  Outcome outcome;
  cli::BackupCLI cli(environment);
  outcome.status = cli.run(
      arguments, [&](const std::string& line) { outcome.out += line + "\n"; },
      [&](const std::string& line) { outcome.err += line + "\n"; });
  return outcome;
}

inline std::string golden(const std::string& name) {
  std::string text = readText(std::filesystem::path(TVR_SOURCE_DIR) / "tests/cli/golden" / name);
  EXPECT_FALSE(text.empty()) << "missing golden file " << name;
  return text;
}

}  // namespace tvr::test
