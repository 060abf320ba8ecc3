#include <nlohmann/json.hpp>

#include "BackupCLI/CommandCatalog.h"
#include "BackupCLI/CommandHandlers.h"

namespace tvr::cli {

namespace {

struct Workflow {
  const char* name;
  std::vector<std::string> steps;
};

const char* const kRecommendedOutputMode =
    "Use --json for discovery, read-only commands, write dry-runs, and confirmation-required envelopes; "
    "successful writes use text output.";
const char* const kRecoveryPasswordHandling =
    "Prefer --recovery-password-file or --recovery-password-env. Avoid inline passwords outside tests.";

const std::vector<std::string>& safetyRules() {
  static const std::vector<std::string> rules = {
      "Inspect command metadata with `tvr commands --json` before invoking unfamiliar commands.",
      "Use `tvr describe <command> --json` to read required options, output formats, exit codes, and risk.",
      "Treat exit code 3 as confirmation required and ask the user before rerunning with --overwrite true.",
      "Treat exit code 5 as repository integrity failure and avoid restore/export until the issue is understood.",
      "Do not pass secrets in logs, structured details, or inline command examples.",
  };
  return rules;
}

const std::vector<Workflow>& workflows() {
  static const std::vector<Workflow> list = {
      {"inspect_repository",
       {"tvr info <repository> --json", "tvr list-plans <repository> --json",
        "tvr verify <repository> --recovery-password-file <path> --json"}},
      {"find_and_restore_file",
       {"tvr list-runs <repository> --plan <plan-id> --json",
        "tvr search <repository> --plan <plan-id> --run <run-id> --name <query> --recovery-password-file <path> "
        "--json",
        "tvr restore <repository> --plan <plan-id> --run <run-id> --path <path> --to <destination> "
        "--recovery-password-file <path>"}},
      {"hydrate_then_export",
       {"tvr hydrate-s3 <repository> --bucket <bucket> --region <region> --access-key-id <key>",
        "tvr verify <repository> --recovery-password-file <path> --json",
        "tvr export <repository> --plan <plan-id> --run <run-id> --to <destination> --recovery-password-file "
        "<path>"}},
  };
  return list;
}

const std::vector<std::string>& agentContextLines() {
  static const std::vector<std::string> lines = {
      "Prefer --json for read-only commands and discovery.",
      "Use --recovery-password-file or --recovery-password-env instead of inline passwords.",
      "Treat exit code 3 as confirmation required and rerun only with explicit user approval.",
      "Use commands and describe to inspect command metadata before invoking write commands.",
  };
  return lines;
}

}  // namespace

void runCommands(const CommandContext& context) {
  const auto& catalog = CommandCatalog::all();
  if (context.outputFormat == OutputFormat::json) {
    nlohmann::json commands = nlohmann::json::array();
    for (const CommandMetadata& metadata : catalog) commands.push_back(metadata.toJson());
    context.output(jsonString({{"schemaVersion", 1}, {"command", "commands"}, {"commands", commands}}));
    return;
  }
  for (const CommandMetadata& metadata : catalog) {
    context.output(metadata.name + "\t" + commandKindText(metadata.kind) + "\t" + metadata.risk + "\t" +
                   metadata.summary);
  }
}

void runDescribe(const std::vector<std::string>& args, const CommandContext& context) {
  if (args.empty()) {
    throw CLIError::usage("missing_command_name", "Missing command name", "Run `tvr describe <command> --json`.");
  }
  noArguments(std::vector<std::string>(args.begin() + 1, args.end()), "describe");
  const std::string& name = args.front();
  const CommandMetadata* metadata = CommandCatalog::find(name);
  if (metadata == nullptr) {
    throw CLIError::usage("unknown_command", "Unknown command: " + name,
                          "Run `tvr commands --json` for the command list.", {{"command", name}});
  }
  if (context.outputFormat == OutputFormat::json) {
    context.output(
        jsonString({{"schemaVersion", 1}, {"command", "describe"}, {"describedCommand", metadata->toJson()}}));
    return;
  }
  context.output(metadata->name + ": " + metadata->summary);
  context.output("Usage: " + metadata->usage);
  context.output("Kind: " + commandKindText(metadata->kind));
  context.output("Risk: " + metadata->risk);
}

void runAgentContext(const CommandContext& context) {
  if (context.outputFormat == OutputFormat::json) {
    nlohmann::json flows = nlohmann::json::array();
    for (const Workflow& workflow : workflows()) {
      flows.push_back({{"name", workflow.name}, {"steps", workflow.steps}});
    }
    context.output(jsonString({{"schemaVersion", 1},
                               {"command", "agent-context"},
                               {"recommendedOutputMode", kRecommendedOutputMode},
                               {"recoveryPasswordHandling", kRecoveryPasswordHandling},
                               {"safetyRules", safetyRules()},
                               {"workflows", flows}}));
    return;
  }
  for (const std::string& line : agentContextLines()) context.output(line);
}

}  // namespace tvr::cli
