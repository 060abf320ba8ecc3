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

// Which of the process's output streams are terminals (both false in process).
struct Terminals {
  bool standardOutput = false;
  bool standardError = false;
};

// The result of the global-option scan.
struct GlobalOptions {
  bool help = false;
  bool version = false;
  OutputFormat outputFormat = OutputFormat::text;
  bool quiet = false;
  bool verbose = false;  // failures add their code and causes in text mode
  bool noColor = false;
};

// The front end of `tvr`: scans the global options, prints help, version and manual
// texts, and dispatches one command word to its handler. Holds only the captured
// environment; `run` may be called from one thread at a time per sink.
class BackupCLI {
 public:
  static constexpr const char* version = "2026.3 (8)";

  explicit BackupCLI(Environment environment, Terminals terminals = {})
      : environment_(std::move(environment)), terminals_(terminals) {}

  const Environment& environment() const noexcept { return environment_; }

  // Runs one command line (without the program name). Never throws; returns the exit
  // status: 0 on success, otherwise the exit code of the rendered error, which goes to
  // `standardError` as one line (more with --verbose in text mode). `progress`, when set,
  // receives the raw text of the progress indicator. `standardOutputPiece`, when set, takes
  // the pieces of a line too large to hold (a JSON document of millions of items), each
  // without a line end, and the line ends with the next call of `standardOutput`; without
  // it the pieces are joined to that line first.
  std::int32_t run(const std::vector<std::string>& arguments, const OutputSink& standardOutput,
                   const OutputSink& standardError, const std::function<void(const std::string&)>& progress = {},
                   const OutputSink& standardOutputPiece = {}) const;
  // Same with the process's standard output and standard error: checks that the output
  // reached its file, and ends the process on SIGINT, SIGTERM and SIGHUP with 128 + the
  // signal after removing the temporary file in flight.
  std::int32_t run(const std::vector<std::string>& arguments) const;

  // Runs one command line; throws CLIError for every failure it recognises, and lets
  // engine and platform errors through unchanged.
  // `warning` takes lines for standard error that do not end the command.
  void runThrowing(
      const std::vector<std::string>& arguments, const OutputSink& standardOutput,
      const OutputSink& warning = [](const std::string&) {},
      const std::function<void(const std::string&)>& progress = {}, const OutputSink& standardOutputPiece = {}) const;

  // Command word to usage line, one entry per row of the command table (CommandTable.h).
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
  // Whether command output is coloured, from the options, the environment and whether
  // standard output is a terminal.
  static bool useColor(const GlobalOptions& options, const Environment& environment, bool outputIsTerminal);
  // The ANSI decoration of one output line of `command` when colour is on.
  static std::string decorateLine(const std::string& line, const std::string& command);

 private:
  Environment environment_;
  Terminals terminals_;
};

}  // namespace tvr::cli
