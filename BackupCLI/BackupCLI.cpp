#include "BackupCLI/BackupCLI.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>

#include "BackupCLI/CommandHandlers.h"
#include "BackupCLI/CommandTable.h"
#include "BackupCLI/ParsedOptions.h"
#include "BackupCLI/Progress.h"
#include "platform/TemporaryFiles.h"
#include "platform/Unicode.h"

namespace tvr::cli {

namespace {

const char* const kGlobalOptionsHelp = R"HELP(

Global options:
  --help                 Show general or command help.
  --version              Print the CLI version.
  --json                 Alias for --output json.
  --output text|json
                         Select output format. JSON is implemented for read-only commands, write dry-runs, and confirmation envelopes.
  --quiet                Suppress successful command output.
  --verbose              Add the error code and its causes to a failure.
  --no-color             Disable ANSI color in text output.)HELP";

const char* const kManualText = R"MANUAL(TVR(1)                     Tovarine Manual                     TVR(1)

NAME
  tvr - inspect, verify, hydrate, search, restore, and export Tovarine repositories

SYNOPSIS
  tvr <command> [options]
  tvr --help
  tvr <command> --help

DESCRIPTION
  tvr is the command-line recovery tool for encrypted Tovarine repositories.
  Use it to inspect repository metadata, verify integrity, browse backup runs,
  restore individual files, export complete runs, or hydrate object storage
  back into a local repository folder.

COMMON COMMANDS
  info          Show public repository metadata.
  list-plans    List backup plans in a repository.
  list-runs     List completed runs for one plan.
  list          Browse files and directories in a run.
  search        Search filenames in a run.
  restore       Restore one file from a run.
  export        Export an entire run.
  verify        Check repository integrity.
  hydrate-s3    Rebuild a local repository from S3-compatible storage.

OPTIONS
  --help        Show full help or command-specific help.
  --json        Emit structured JSON where supported.
  --version     Print the CLI version.

EXAMPLES
  tvr info /Volumes/Backup/TovarineRepository
  tvr list-plans /Volumes/Backup/TovarineRepository
  tvr restore /Volumes/Backup/TovarineRepository --plan personal-documents --run 8 --path documents/taxes/summary.pdf --to ~/Desktop/summary.pdf --recovery-password-file ~/Documents/tovarine-recovery-password.txt

SEE ALSO
  Run `tvr --help` for the full command list.
  Run `tvr describe <command> --json` for agent-readable command metadata.)MANUAL";

const char* const kEscape = "\x1b";

std::string wrap(const std::string& text, const char* code) {
  return std::string(kEscape) + "[" + code + "m" + text + kEscape + "[0m";
}

bool beginsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

CLIError unknownCommand(const std::string& word) {
  return CLIError::usage("unknown_command", "Unknown command: " + word, "Run `tvr --help` for the command list.",
                         {{"command", word}});
}

}  // namespace

const std::map<std::string, std::string>& BackupCLI::commandUsages() {
  static const std::map<std::string, std::string> usages = [] {
    std::map<std::string, std::string> map;
    for (const CommandDefinition& command : commandTable()) map.emplace(command.name, command.usage);
    return map;
  }();
  return usages;
}

const std::string& BackupCLI::generalUsageLine() {
  static const std::string line = [] {
    std::string words;
    for (const CommandDefinition& command : commandTable()) words += (words.empty() ? "" : "|") + command.name;
    return "Usage: tvr <" + words + "> ...";
  }();
  return line;
}

std::string BackupCLI::generalHelpText() {
  std::size_t width = 0;
  for (const CommandDefinition& command : commandTable()) width = std::max(width, command.name.size());
  std::string text = generalUsageLine() + "\n\nCommands:";
  for (const CommandDefinition& command : commandTable()) {
    text += "\n  " + command.name + std::string(width + 2 - command.name.size(), ' ') + command.helpSummary;
  }
  return text + kGlobalOptionsHelp;
}

std::string BackupCLI::manualText() { return kManualText; }

std::string BackupCLI::commandHelpText(const std::string& usage) {
  return "Usage: " + usage +
         "\n\nRun `tvr --help` for the full command list and global options.\n"
         "See docs/CLI.md for recovery-password, overwrite, and hydration details.";
}

OutputFormat BackupCLI::errorOutputFormat(const std::vector<std::string>& arguments) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--json") return OutputFormat::json;
    if (argument == "--output") {
      if (i + 1 < arguments.size()) {
        return unicode::lowercased(arguments[i + 1]) == "json" ? OutputFormat::json : OutputFormat::text;
      }
      continue;
    }
    if (beginsWith(argument, "--output=")) {
      return unicode::lowercased(argument.substr(9)) == "json" ? OutputFormat::json : OutputFormat::text;
    }
  }
  return OutputFormat::text;
}

GlobalOptions BackupCLI::scanGlobalOptions(const std::vector<std::string>& arguments,
                                           std::vector<std::string>& remaining) {
  GlobalOptions options;
  remaining.clear();
  std::size_t i = 0;
  while (i < arguments.size()) {
    const std::string& argument = arguments[i];
    if (argument == "--help" || argument == "-h") {
      options.help = true;
    } else if (argument == "--version") {
      options.version = true;
    } else if (argument == "--json") {
      options.outputFormat = OutputFormat::json;
    } else if (argument == "--quiet") {
      options.quiet = true;
    } else if (argument == "--verbose") {
      options.verbose = true;
    } else if (argument == "--no-color") {
      options.noColor = true;
    } else if (argument == "--output") {
      if (i + 1 >= arguments.size()) {
        throw CLIError::usage("missing_option_value", "Missing value for --output", "Pass text or json after --output.",
                              {{"option", "--output"}});
      }
      options.outputFormat = parseOutputFormat(arguments[i + 1]);
      i += 2;
      continue;
    } else if (beginsWith(argument, "--output=")) {
      options.outputFormat = parseOutputFormat(argument.substr(9));
    } else {
      if (remaining.empty() && beginsWith(argument, "-")) {
        throw CLIError::usage("unknown_global_option", "Unknown global option: " + argument,
                              "Run `tvr --help` for supported global options.", {{"option", argument}});
      }
      remaining.push_back(argument);
    }
    i += 1;
  }
  return options;
}

bool BackupCLI::useColor(const GlobalOptions& options, const Environment& environment, bool outputIsTerminal) {
  if (options.noColor || options.outputFormat == OutputFormat::json || environment.empty() ||
      environment.count("NO_COLOR") != 0) {
    return false;
  }
  auto force = environment.find("CLICOLOR_FORCE");
  if (force != environment.end() && force->second != "0") return true;
  // Escape codes in a file or a pipe break every script that reads the output.
  if (!outputIsTerminal) return false;
  auto term = environment.find("TERM");
  if (term == environment.end() || term->second.empty() || term->second == "dumb") return false;
  auto clicolor = environment.find("CLICOLOR");
  if (clicolor != environment.end() && clicolor->second == "0") return false;
  return true;
}

std::string BackupCLI::decorateLine(const std::string& line, const std::string& command) {
  if (beginsWith(line, "Dry run:")) return wrap(line, "33");
  if (beginsWith(line, "Restored ") || beginsWith(line, "Exported ") || beginsWith(line, "Hydrated ")) {
    return wrap(line, "32");
  }
  std::size_t tab = line.find('\t');
  if (tab != std::string::npos) return wrap(line.substr(0, tab), "36") + line.substr(tab);
  if (command == "commands" || command == "describe" || command == "agent-context") return wrap(line, "1");
  return line;
}

void BackupCLI::runThrowing(const std::vector<std::string>& arguments, const OutputSink& standardOutput,
                            const OutputSink& warning,
                            const std::function<void(const std::string&)>& progressWriter,
                            const OutputSink& standardOutputPiece) const {
  std::vector<std::string> remaining;
  GlobalOptions options = scanGlobalOptions(arguments, remaining);

  if (options.version) {
    standardOutput(std::string("tvr ") + version);
    return;
  }
  if (options.help && !remaining.empty()) {
    const CommandDefinition* definition = findCommand(remaining.front());
    if (definition == nullptr) throw unknownCommand(remaining.front());
    standardOutput(commandHelpText(definition->usage));
    return;
  }
  if (options.help) {
    standardOutput(generalHelpText());
    return;
  }
  if (arguments.empty()) {
    standardOutput(manualText());
    return;
  }
  if (remaining.empty()) {
    throw CLIError::usage("missing_command", generalUsageLine(), "Run `tvr --help` for the command list.");
  }

  const std::string& command = remaining.front();
  const CommandDefinition* definition = findCommand(command);
  if (definition == nullptr) throw unknownCommand(command);

  OutputSink sink;
  OutputSink piece;
  // A line written in pieces is never decorated: its beginning is gone when its end comes.
  bool continuing = false;
  std::string pending;
  if (options.quiet) {
    sink = [](const std::string&) {};
    piece = sink;
  } else {
    OutputSink line = standardOutput;
    if (useColor(options, environment_, terminals_.standardOutput)) {
      line = [&standardOutput, &command](const std::string& text) { standardOutput(decorateLine(text, command)); };
    }
    if (standardOutputPiece) {
      piece = [&standardOutputPiece, &continuing](const std::string& text) {
        continuing = true;
        standardOutputPiece(text);
      };
    } else {
      piece = [&pending, &continuing](const std::string& text) {
        continuing = true;
        pending += text;
      };
    }
    sink = [&standardOutput, &pending, &continuing, line](const std::string& text) {
      if (!continuing) return line(text);
      continuing = false;
      standardOutput(pending.empty() ? text : std::exchange(pending, {}) + text);
    };
  }
  std::vector<std::string> rest(remaining.begin() + 1, remaining.end());
  // Scripts and the output contract never see the indicator.
  bool showProgress = progressWriter && !options.quiet && options.outputFormat == OutputFormat::text;
  Progress progress(showProgress ? progressWriter : Progress::Writer());
  CommandContext context{command, options.outputFormat, sink, piece, environment_, progress, warning};
  definition->run(rest, context);
}

std::int32_t BackupCLI::run(const std::vector<std::string>& arguments, const OutputSink& standardOutput,
                            const OutputSink& standardError,
                            const std::function<void(const std::string&)>& progress,
                            const OutputSink& standardOutputPiece) const {
  OutputFormat errorFormat = OutputFormat::text;
  try {
    errorFormat = errorOutputFormat(arguments);
    runThrowing(arguments, standardOutput, standardError, progress, standardOutputPiece);
    return ExitCode::success;
  } catch (...) {
    CLIError error = CLIError::classify(std::current_exception());
    bool verbose = std::find(arguments.begin(), arguments.end(), "--verbose") != arguments.end();
    try {
      standardError(error.render(errorFormat));
      if (verbose && errorFormat == OutputFormat::text) {
        for (const std::string& line : error.verboseLines()) standardError(line);
      }
    } catch (...) {
      // The error sink itself failed (a closed stream); the exit status still tells.
    }
    return error.exitCode();
  }
}

namespace {

// Waits for SIGINT, SIGTERM or SIGHUP on its own thread (the signals are blocked in every
// other thread) and ends the process the way an interrupted command should: the temporary
// file in flight goes, completed files stay, the status is 128 + the signal.
void handleTerminationSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    // A signal the caller set to be ignored (nohup, a background job) stays ignored.
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    sigaddset(&signals, signal);
  }
  if (sigisemptyset(&signals) || pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) return;
  std::thread([signals] {
    int signal = 0;
    while (sigwait(&signals, &signal) != 0) {
    }
    Progress::eraseForExit();
    TemporaryFiles::removeAllForExit();
    // A writer registered just before the first pass may create its file after it.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    TemporaryFiles::removeAllForExit();
    ::_exit(128 + signal);
  }).detach();
}

}  // namespace

std::int32_t BackupCLI::run(const std::vector<std::string>& arguments) const {
  handleTerminationSignals();
  int writeError = 0;
  OutputSink out = [&writeError](const std::string& line) {
    if (writeError != 0) return;
    if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() || std::fputc('\n', stdout) == EOF) {
      writeError = errno != 0 ? errno : EIO;
    }
  };
  OutputSink piece = [&writeError](const std::string& text) {
    if (writeError != 0) return;
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) writeError = errno != 0 ? errno : EIO;
  };
  OutputSink err = [&writeError](const std::string& line) {
    // Whatever the command printed reaches its stream before the error does.
    if (std::fflush(stdout) != 0 && writeError == 0) writeError = errno != 0 ? errno : EIO;
    std::string text = line + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
  };
  std::function<void(const std::string&)> progress;
  if (terminals_.standardError) {
    progress = [](const std::string& text) {
      std::fwrite(text.data(), 1, text.size(), stderr);
      std::fflush(stderr);
    };
  }
  std::int32_t status = run(arguments, out, err, progress, piece);
  if (std::fflush(stdout) != 0 && writeError == 0) writeError = errno != 0 ? errno : EIO;
  if (writeError != 0 && status == ExitCode::success) {
    CLIError failed(
        "output_write_failed", "internal", std::string("Failed to write output: ") + std::strerror(writeError),
        "Check that the output file or pipe can take the output, then run the command again.", ExitCode::internal);
    err(failed.render(errorOutputFormat(arguments)));
    return failed.exitCode();
  }
  return status;
}

}  // namespace tvr::cli
