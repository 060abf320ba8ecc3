#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "BackupCLI/CLIError.h"

namespace tvr::cli {

// The process environment, captured once at start.
using Environment = std::map<std::string, std::string>;

// Receives one output line per call; the sink adds the line end.
using OutputSink = std::function<void(const std::string&)>;

// The result of the global-option scan.
struct GlobalOptions {
  bool help = false;
  bool version = false;
  OutputFormat outputFormat = OutputFormat::text;
  bool quiet = false;
  bool verbose = false;  // accepted and recorded; it changes nothing yet
  bool noColor = false;
};

// The front end of `tvr`: scans the global options, prints help, version and manual
// texts, and dispatches one command word to its handler. Holds only the captured
// environment; `run` may be called from one thread at a time per sink.
class BackupCLI {
 public:
  static constexpr const char* version = "2026.3 (8)";

  explicit BackupCLI(Environment environment) : environment_(std::move(environment)) {}

  const Environment& environment() const noexcept { return environment_; }

  // Runs one command line (without the program name). Never throws; returns the exit
  // status: 0 on success, otherwise the exit code of the rendered error, which goes to
  // `standardError` as one line.
  std::int32_t run(const std::vector<std::string>& arguments, const OutputSink& standardOutput,
                   const OutputSink& standardError) const;
  // Same with the process's standard output and standard error.
  std::int32_t run(const std::vector<std::string>& arguments) const;

  // Runs one command line; throws CLIError for every failure it recognises, and lets
  // engine and platform errors through unchanged.
  void runThrowing(const std::vector<std::string>& arguments, const OutputSink& standardOutput) const;

  // Command word to usage line, 13 entries.
  static const std::map<std::string, std::string>& commandUsages();
  // "Usage: tvr <commands|...> ..."
  static const std::string& generalUsageLine();
  static std::string generalHelpText();
  static std::string manualText();
  static std::string commandHelpText(const std::string& usage);

  // Only the format in which an error is rendered: the first "--json", "--output <value>"
  // or "--output=<value>" anywhere in the raw arguments decides.
  static OutputFormat errorOutputFormat(const std::vector<std::string>& arguments);
  // The global options and the remaining arguments (command word first).
  static GlobalOptions scanGlobalOptions(const std::vector<std::string>& arguments,
                                         std::vector<std::string>& remaining);
  // Whether command output is coloured, from the options and the environment.
  static bool useColor(const GlobalOptions& options, const Environment& environment);
  // The ANSI decoration of one output line of `command` when colour is on.
  static std::string decorateLine(const std::string& line, const std::string& command);

 private:
  Environment environment_;
};

}  // namespace tvr::cli
