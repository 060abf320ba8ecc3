#include "BackupCLI/CommandTable.h"

#include <filesystem>
#include <optional>

#include "BackupCLI/CLIInputValidation.h"
#include "BackupCLI/CommandHandlers.h"
#include "BackupCLI/ParsedOptions.h"

namespace tvr::cli {

namespace {

using Option = CommandOptionMetadata;
using Arguments = std::vector<std::string>;

Option option(std::string name, std::optional<std::string> valueName, std::string summary) {
  return Option{std::move(name), std::move(valueName), false, false, std::move(summary)};
}

Option required(Option value) {
  value.required = true;
  return value;
}

bool isOption(const std::string& name) { return name.rfind("--", 0) == 0; }

// Entries several commands share.
Option repositoryArgument() { return required(option("repository", std::nullopt, "Repository root path.")); }
Option planOption() { return required(option("--plan", "plan-id", "Plan ID from list-plans.")); }
Option runOption() { return required(option("--run", "run-id", "Run ID from list-runs.")); }
Option passwordFileOption() {
  return required(option("--recovery-password-file", "path",
                         "Recovery password source. Inline and environment alternatives are also supported."));
}
Option dryRunOption(std::string summary) { return option("--dry-run", std::nullopt, std::move(summary)); }

std::vector<CommandDefinition> buildTable() {
  const std::string repo = "/Volumes/Backup/TovarineRepository";
  const std::string writeJsonNote =
      "JSON output is available for dry-runs and confirmation-required envelopes; successful writes remain text "
      "output.";
  const Option hydrateOverwrite =
      option("--overwrite", "true|false", "Allow merging into or replacing destination object files.");

  std::vector<CommandDefinition> table;
  table.push_back({
      .name = "commands",
      .usage = "tvr commands --json",
      .helpSummary = "List machine-readable command metadata.",
      .kind = CommandKind::discovery,
      .summary = "List commands with stable metadata for humans, scripts, and agents.",
      .exitCodes = {0, 2, 1},
      .examples = {"tvr commands --json"},
      .notes = {"Use this before invoking unfamiliar commands."},
      .run =
          [](const Arguments& rest, const CommandContext& context) {
            noArguments(rest, "commands");
            runCommands(context);
          },
  });
  table.push_back({
      .name = "describe",
      .usage = "tvr describe <command> --json",
      .helpSummary = "Describe one command's options and behavior.",
      .kind = CommandKind::discovery,
      .summary = "Describe one command's options, examples, exit codes, and risk.",
      .requiredOptions = {required(option("command", std::nullopt, "Command name to describe."))},
      .exitCodes = {0, 2, 1},
      .examples = {"tvr describe restore --json", "tvr describe info --json"},
      .notes = {"Unknown commands fail with code unknown_command."},
      .run = [](const Arguments& rest, const CommandContext& context) { runDescribe(rest, context); },
  });
  table.push_back({
      .name = "agent-context",
      .usage = "tvr agent-context [--json]",
      .helpSummary = "Print agent-oriented usage guidance.",
      .kind = CommandKind::discovery,
      .summary = "Print safe CLI workflows and protocol guidance for agents.",
      .exitCodes = {0, 2, 1},
      .examples = {"tvr agent-context", "tvr agent-context --json"},
      .notes = {"Use this to choose safe defaults for recovery workflows."},
      .run =
          [](const Arguments& rest, const CommandContext& context) {
            noArguments(rest, "agent-context");
            runAgentContext(context);
          },
  });
  table.push_back({
      .name = "info",
      .usage = "tvr info <repository>",
      .helpSummary = "Print public repository metadata.",
      .kind = CommandKind::read,
      .summary = "Print public repository metadata from repo.json.",
      .requiredOptions = {repositoryArgument()},
      .exitCodes = {0, 2, 4, 1},
      .examples = {"tvr info " + repo + " --json"},
      .notes = {"Does not require recovery material."},
      .run = [](const Arguments& rest, const CommandContext& context) { runInfo(singlePathArgument(rest), context); },
  });
  table.push_back({
      .name = "verify",
      .usage = "tvr verify <repository> --recovery-password-file <path>",
      .helpSummary = "Check repository integrity.",
      .kind = CommandKind::read,
      .summary = "Check repository integrity and report missing, corrupt, or orphaned blobs.",
      .requiredOptions = {repositoryArgument(), passwordFileOption()},
      .exitCodes = {0, 2, 4, 5, 6, 1},
      .examples = {"tvr verify " + repo + " --recovery-password-file ~/recovery.txt --json"},
      .notes = {"JSON verify output is emitted before exit code 5 when integrity issues exist."},
      .run = [](const Arguments& rest,
                const CommandContext& context) { runVerify(ParsedOptions("verify", rest), context); },
  });
  table.push_back({
      .name = "list-plans",
      .usage = "tvr list-plans <repository>",
      .helpSummary = "List plans recorded in a repository.",
      .kind = CommandKind::read,
      .summary = "List plans recorded in a repository.",
      .requiredOptions = {repositoryArgument()},
      .exitCodes = {0, 2, 4, 1},
      .examples = {"tvr list-plans " + repo + " --json"},
      .notes = {"Does not require recovery material."},
      .run = [](const Arguments& rest,
                const CommandContext& context) { runListPlans(singlePathArgument(rest), context); },
  });
  table.push_back({
      .name = "list-runs",
      .usage = "tvr list-runs <repository> --plan <plan-id>",
      .helpSummary = "List completed runs for a plan.",
      .kind = CommandKind::read,
      .summary = "List completed runs for a plan.",
      .requiredOptions = {repositoryArgument(), planOption()},
      .exitCodes = {0, 2, 4, 1},
      .examples = {"tvr list-runs " + repo + " --plan personal-documents --json"},
      .notes = {"Does not require recovery material."},
      .run = [](const Arguments& rest,
                const CommandContext& context) { runListRuns(ParsedOptions("list-runs", rest), context); },
  });
  table.push_back({
      .name = "list",
      .usage = "tvr list <repository> --plan <plan-id> --run <run-id> [--path <path>] --recovery-password-file <path>",
      .helpSummary = "List files and directories in a run.",
      .kind = CommandKind::read,
      .summary = "List files and directories in a selected run.",
      .requiredOptions = {repositoryArgument(), planOption(), runOption(), passwordFileOption()},
      .optionalOptions = {option("--path", "path", "Directory path to list.")},
      .exitCodes = {0, 2, 4, 6, 1},
      .examples = {"tvr list " + repo +
                   " --plan personal-documents --run 8 --recovery-password-file ~/recovery.txt --json"},
      .notes = {"Use normalized paths from this output with restore."},
      .run = [](const Arguments& rest, const CommandContext& context) { runList(ParsedOptions("list", rest), context); },
  });
  table.push_back({
      .name = "search",
      .usage = "tvr search <repository> --plan <plan-id> --run <run-id> --name <query> [--limit <count>] "
               "--recovery-password-file <path>",
      .helpSummary = "Search filenames in a run.",
      .kind = CommandKind::read,
      .summary = "Search filenames in a selected run.",
      .requiredOptions = {repositoryArgument(), planOption(), runOption(),
                          required(option("--name", "query", "Filename query.")), passwordFileOption()},
      .optionalOptions = {option("--limit", "count", "Maximum number of results."),
                          option("--exact", std::nullopt, "Return exact filename or filename-stem matches only."),
                          option("--prefix", std::nullopt, "Return exact and prefix matches."),
                          option("--contains", std::nullopt, "Return exact, prefix, and contains matches.")},
      .exitCodes = {0, 2, 4, 6, 1},
      .examples = {"tvr search " + repo +
                   " --plan personal-documents --run 8 --name invoice --recovery-password-file ~/recovery.txt --json"},
      .notes = {"JSON output includes matchMode and matchType."},
      .run = [](const Arguments& rest,
                const CommandContext& context) { runSearch(ParsedOptions("search", rest), context); },
  });
  table.push_back({
      .name = "restore",
      .usage = "tvr restore <repository> --plan <plan-id> --run <run-id> --path <path> --to <destination> "
               "--recovery-password-file <path> [--overwrite true] [--dry-run]",
      .helpSummary = "Restore one file from a run.",
      .kind = CommandKind::write,
      .summary = "Restore one file from a selected run.",
      .requiredOptions = {repositoryArgument(), planOption(), runOption(),
                          required(option("--path", "path", "Normalized repository file path.")),
                          required(option("--to", "destination", "Destination file path.")), passwordFileOption()},
      .optionalOptions = {option("--overwrite", "true|false", "Allow replacing an existing destination."),
                          dryRunOption("Validate the restore and describe the planned write without creating files.")},
      .exitCodes = {0, 2, 3, 4, 5, 6, 1},
      .examples = {"tvr restore " + repo +
                   " --plan personal-documents --run 8 --path documents/report.pdf --to ~/Desktop/report.pdf "
                   "--recovery-password-file ~/recovery.txt --dry-run --json"},
      .notes = {"Refuses existing destinations unless --overwrite true is supplied.", writeJsonNote},
      .run = [](const Arguments& rest,
                const CommandContext& context) { runRestore(ParsedOptions("restore", rest), context); },
  });
  table.push_back({
      .name = "export",
      .usage = "tvr export <repository> --plan <plan-id> --run <run-id> --to <destination> --recovery-password-file "
               "<path> [--overwrite true] [--dry-run]",
      .helpSummary = "Export a whole run.",
      .kind = CommandKind::write,
      .summary = "Export every restorable file and directory from a selected run.",
      .requiredOptions = {repositoryArgument(), planOption(), runOption(),
                          required(option("--to", "destination", "Destination directory.")), passwordFileOption()},
      .optionalOptions = {option("--overwrite", "true|false", "Allow replacing matching destination files."),
                          dryRunOption("Validate the export and summarize planned output without creating files.")},
      .exitCodes = {0, 2, 3, 4, 5, 6, 1},
      .examples = {"tvr export " + repo +
                   " --plan personal-documents --run 8 --to ~/Desktop/TovarineExport --recovery-password-file "
                   "~/recovery.txt --dry-run --json"},
      .notes = {"Refuses existing files and non-empty directories unless --overwrite true is supplied.",
                writeJsonNote},
      .run = [](const Arguments& rest,
                const CommandContext& context) { runExport(ParsedOptions("export", rest), context); },
  });
  table.push_back({
      .name = "hydrate-local",
      .usage = "tvr hydrate-local <source-object-root> --to <repository> [--overwrite true] [--dry-run]",
      .helpSummary = "Rebuild a local repository from object files.",
      .kind = CommandKind::write,
      .summary = "Rebuild a local repository from repository object files.",
      .requiredOptions = {required(option("source-object-root", std::nullopt, "Source object root.")),
                          required(option("--to", "repository", "Destination repository root."))},
      .optionalOptions = {hydrateOverwrite,
                          dryRunOption("Validate local object access and destination policy without writing files.")},
      .exitCodes = {0, 2, 3, 4, 1},
      .examples = {"tvr hydrate-local /Volumes/ObjectMirror --to ~/Desktop/HydratedTovarineRepository --dry-run "
                   "--json"},
      .notes = {"Writes repository objects into the destination root.",
                "Refuses non-empty destinations unless --overwrite true is supplied."},
      .run =
          [](const Arguments& rest, const CommandContext& context) {
            std::optional<std::string> source;
            // An option in first place means the source was left out.
            if (!rest.empty() && !isOption(rest.front())) source = rest.front();
            std::filesystem::path sourceRoot = requiredPath(source, "source repository object root");
            runHydrateLocal(sourceRoot, ParsedOptions("hydrate-local", rest), context);
          },
  });
  table.push_back({
      .name = "hydrate-s3",
      .usage = "tvr hydrate-s3 <repository> --bucket <bucket> --region <region> --access-key-id <key> [--endpoint "
               "<url>] [--path-style true] [--overwrite true] [--dry-run]",
      .helpSummary = "Rebuild a local repository from S3-compatible storage.",
      .kind = CommandKind::write,
      .summary = "Rebuild a local repository from S3-compatible object storage.",
      .requiredOptions = {repositoryArgument(), required(option("--bucket", "bucket", "S3 bucket name.")),
                          required(option("--region", "region", "S3 region.")),
                          required(option("--access-key-id", "key", "S3 access key ID.")),
                          required(option("--secret-access-key", "secret",
                                          "S3 secret access key or AWS_SECRET_ACCESS_KEY."))},
      .optionalOptions = {option("--endpoint", "url", "S3-compatible endpoint URL."),
                          option("--session-token", "token", "Temporary session token."),
                          option("--path-style", "true|false", "Force path-style addressing."), hydrateOverwrite,
                          dryRunOption("Validate local options, credential shape, and destination policy without "
                                       "network access.")},
      .exitCodes = {0, 2, 3, 4, 6, 7, 1},
      .examples = {std::string("tvr hydrate-s3 ~/Desktop/HydratedTovarineRepository --bucket my-backups --region "
                               "auto --endpoint ") +
                   CLIInputValidation::kExampleEndpoint + " --path-style true --access-key-id EXAMPLE --dry-run --json"},
      .notes = {"Prefer AWS_SECRET_ACCESS_KEY over passing secrets on the command line.",
                "Dry-run validates local options and credential presence without listing provider objects."},
      .run = [](const Arguments& rest,
                const CommandContext& context) { runHydrateS3(ParsedOptions("hydrate-s3", rest), context); },
  });
  return table;
}

}  // namespace

const std::vector<CommandDefinition>& commandTable() {
  static const std::vector<CommandDefinition> table = buildTable();
  return table;
}

const CommandDefinition* findCommand(const std::string& name) {
  for (const CommandDefinition& command : commandTable()) {
    if (command.name == name) return &command;
  }
  return nullptr;
}

std::set<std::string> acceptedOptions(const CommandDefinition& command) {
  std::set<std::string> accepted;
  for (const auto* list : {&command.requiredOptions, &command.optionalOptions}) {
    for (const Option& entry : *list) {
      if (isOption(entry.name)) accepted.insert(entry.name);
    }
  }
  if (accepted.count("--recovery-password-file") != 0) {
    for (const std::string& name : recoveryPasswordOptions()) accepted.insert(name);
  }
  return accepted;
}

std::set<std::string> flagOptions() {
  std::set<std::string> flags;
  for (const CommandDefinition& command : commandTable()) {
    for (const auto* list : {&command.requiredOptions, &command.optionalOptions}) {
      for (const Option& entry : *list) {
        if (isOption(entry.name) && !entry.valueName) flags.insert(entry.name);
      }
    }
  }
  return flags;
}

}  // namespace tvr::cli
