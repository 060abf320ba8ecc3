#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

namespace tvr::cli {

enum class CommandKind { discovery, read, write };
std::string commandKindText(CommandKind kind);

// One option or positional argument of a command as `describe` shows it.
struct CommandOptionMetadata {
  std::string name;
  std::optional<std::string> valueName;
  bool required = false;
  bool repeatable = false;
  std::string summary;

  nlohmann::json toJson() const;
};

// The stable metadata of one command.
struct CommandMetadata {
  std::string name;
  std::string summary;
  std::string usage;
  CommandKind kind = CommandKind::read;
  std::string risk;
  bool destructive = false;
  bool confirmationRequired = false;
  std::vector<CommandOptionMetadata> requiredOptions;
  std::vector<CommandOptionMetadata> optionalOptions;
  std::vector<std::string> outputFormats;
  std::vector<std::int32_t> exitCodes;
  std::vector<std::string> examples;
  std::vector<std::string> notes;

  nlohmann::json toJson() const;
};

// The metadata of every command, built once on first use from the command table that
// help and dispatch read too, so help, `commands` and `describe` show the same usage
// text. Thread-safe.
class CommandCatalog {
 public:
  // The 13 commands in catalog order.
  static const std::vector<CommandMetadata>& all();
  // Exact, case-sensitive lookup; null when unknown.
  static const CommandMetadata* find(const std::string& name);
};

}  // namespace tvr::cli
