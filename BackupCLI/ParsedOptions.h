#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "BackupCLI/CLIError.h"
#include "BackupCLI/SearchMode.h"

namespace tvr::cli {

// A command's own arguments: the repository path followed by option-value pairs and
// value-less flags, matched whole against the command's accepted option set. Every parse
// and accessor failure throws CLIError (exit 2). An immutable value once built.
class ParsedOptions {
 public:
  // Parses the arguments after the command word (the first one is the repository path).
  ParsedOptions(const std::string& command, const std::vector<std::string>& args);

  const std::string& command() const noexcept { return command_; }
  // The repository path as a file location (absolute, relative paths against the working
  // directory, no "~" expansion).
  const std::filesystem::path& repository() const noexcept { return repository_; }
  // Option name (with "--") to value; a value-less flag holds "true".
  const std::map<std::string, std::string>& options() const noexcept { return options_; }

  bool contains(const std::string& option) const { return options_.count(option) != 0; }
  std::optional<std::string> value(const std::string& option) const;
  std::string requiredValue(const std::string& option) const;
  std::optional<std::string> nonEmptyValue(const std::string& option) const;
  std::optional<bool> boolValue(const std::string& option) const;
  std::optional<std::int64_t> intValue(const std::string& option) const;
  std::int64_t requiredRunID() const;
  SearchMode searchMode() const;

  // Options that take no value.
  static const std::set<std::string>& valuelessFlags();
  // The options `command` accepts; empty for commands that take no options.
  static const std::set<std::string>& acceptedOptions(const std::string& command);

 private:
  std::string command_;
  std::filesystem::path repository_;
  std::map<std::string, std::string> options_;
};

// The recovery-password option names, in source order.
const std::vector<std::string>& recoveryPasswordOptions();

// A path argument as typed turned into a file location (see ParsedOptions::repository).
std::filesystem::path fileLocation(const std::string& path);

// Base-10 signed 64-bit integer: optional "+" or "-", ASCII digits only, no overflow.
std::optional<std::int64_t> parseInt64(const std::string& text);

// The remaining arguments must be empty (unexpected_argument naming the command otherwise).
void noArguments(const std::vector<std::string>& args, const std::string& command);
// Exactly one path argument, validated under `name`.
std::filesystem::path singlePathArgument(const std::vector<std::string>& args, const std::string& name = "repository");
// A present, valid filesystem path (missing_path when absent).
std::filesystem::path requiredPath(const std::optional<std::string>& value, const std::string& name);
// JSON output is refused for write paths that only print text.
void requireTextOutput(OutputFormat format, const std::string& command);

}  // namespace tvr::cli
