#include "BackupCLI/CommandCatalog.h"

#include <nlohmann/json.hpp>

#include "BackupCLI/CommandTable.h"

namespace tvr::cli {

namespace {

CommandMetadata metadataOf(const CommandDefinition& command) {
  CommandMetadata metadata;
  metadata.name = command.name;
  metadata.summary = command.summary;
  metadata.usage = command.usage;
  metadata.kind = command.kind;
  bool write = command.kind == CommandKind::write;
  metadata.risk = write ? "medium" : "safe";
  metadata.destructive = write;
  metadata.confirmationRequired = write;
  metadata.requiredOptions = command.requiredOptions;
  metadata.optionalOptions = command.optionalOptions;
  metadata.optionalOptions.push_back(
      {"--output", "text|json", false, false, "Select output format. --json is an alias for --output json."});
  metadata.outputFormats = {"text", "json"};
  metadata.exitCodes = command.exitCodes;
  // Every command ends with 128 + the signal on SIGHUP, SIGINT and SIGTERM.
  metadata.exitCodes.insert(metadata.exitCodes.end(), {129, 130, 143});
  metadata.examples = command.examples;
  metadata.notes = command.notes;
  return metadata;
}

std::vector<CommandMetadata> buildCatalog() {
  std::vector<CommandMetadata> all;
  for (const CommandDefinition& command : commandTable()) all.push_back(metadataOf(command));
  return all;
}

}  // namespace

std::string commandKindText(CommandKind kind) {
  switch (kind) {
    case CommandKind::discovery:
      return "discovery";
    case CommandKind::read:
      return "read";
    case CommandKind::write:
      return "write";
  }
  return "read";
}

nlohmann::json CommandOptionMetadata::toJson() const {
  nlohmann::json object = {{"name", name}, {"required", required}, {"repeatable", repeatable}, {"summary", summary}};
  if (valueName) object["valueName"] = *valueName;
  return object;
}

nlohmann::json CommandMetadata::toJson() const {
  auto options = [](const std::vector<CommandOptionMetadata>& list) {
    nlohmann::json array = nlohmann::json::array();
    for (const auto& item : list) array.push_back(item.toJson());
    return array;
  };
  return {
      {"name", name},
      {"summary", summary},
      {"usage", usage},
      {"kind", commandKindText(kind)},
      {"risk", risk},
      {"destructive", destructive},
      {"confirmationRequired", confirmationRequired},
      {"requiredOptions", options(requiredOptions)},
      {"optionalOptions", options(optionalOptions)},
      {"outputFormats", outputFormats},
      {"exitCodes", exitCodes},
      {"examples", examples},
      {"notes", notes},
  };
}

const std::vector<CommandMetadata>& CommandCatalog::all() {
  static const std::vector<CommandMetadata> catalog = buildCatalog();
  return catalog;
}

const CommandMetadata* CommandCatalog::find(const std::string& name) {
  for (const CommandMetadata& metadata : all()) {
    if (metadata.name == name) return &metadata;
  }
  return nullptr;
}

}  // namespace tvr::cli
