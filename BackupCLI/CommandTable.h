#pragma once

// Internal to the front end: the one table of commands. Dispatch, the usage lines, the
// general usage line and help, the command catalog and the option sets that ParsedOptions
// accepts are all read from it, so a command is added or changed in one row.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "BackupCLI/CommandCatalog.h"

namespace tvr::cli {

struct CommandContext;  // BackupCLI/CommandHandlers.h

// Takes the arguments after the command word the way the command expects them and runs it.
using CommandRunner = void (*)(const std::vector<std::string>& rest, const CommandContext& context);

// One command. The catalog adds to it what every command shares (--output, the output
// formats, the signal exit codes) and what follows from its kind (risk, confirmation).
struct CommandDefinition {
  std::string name;
  std::string usage;        // the usage line, without "Usage: "
  std::string helpSummary;  // its line in the general help
  CommandKind kind = CommandKind::read;
  std::string summary;  // its line in `commands` and `describe`
  // Positional arguments (no "--") first, then options; a "--" option without a value
  // name is a flag. --output is left out: every command takes it.
  std::vector<CommandOptionMetadata> requiredOptions;
  std::vector<CommandOptionMetadata> optionalOptions;
  std::vector<std::int32_t> exitCodes;  // without the signal codes
  std::vector<std::string> examples;
  std::vector<std::string> notes;
  CommandRunner run = nullptr;
};

// Every command in catalog order, built once on first use. Thread-safe.
const std::vector<CommandDefinition>& commandTable();
// Exact, case-sensitive lookup; null when unknown.
const CommandDefinition* findCommand(const std::string& name);

// The "--" options of a command (none for one that takes only positional arguments);
// --recovery-password-file stands for all three recovery-password sources.
std::set<std::string> acceptedOptions(const CommandDefinition& command);
// The "--" options without a value name, over all commands.
std::set<std::string> flagOptions();

}  // namespace tvr::cli
