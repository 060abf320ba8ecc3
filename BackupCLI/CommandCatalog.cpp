#include "BackupCLI/CommandCatalog.h"

#include <nlohmann/json.hpp>

#include "BackupCLI/BackupCLI.h"
#include "BackupCLI/CLIInputValidation.h"

namespace tvr::cli {

namespace {

using Option = CommandOptionMetadata;

Option option(std::string name, std::optional<std::string> valueName, std::string summary) {
  return Option{std::move(name), std::move(valueName), false, false, std::move(summary)};
}

Option required(Option value) {
  value.required = true;
  return value;
}

// Shared entries: repository, plan, run, password file, output.
Option repositoryArgument() { return required(option("repository", std::nullopt, "Repository root path.")); }
Option planOption() { return required(option("--plan", "plan-id", "Plan ID from list-plans.")); }
Option runOption() { return required(option("--run", "run-id", "Run ID from list-runs.")); }
Option passwordFileOption() {
  return required(option("--recovery-password-file", "path",
                         "Recovery password source. Inline and environment alternatives are also supported."));
}
Option outputOption() {
  return option("--output", "text|json", "Select output format. --json is an alias for --output json.");
}

CommandMetadata entry(std::string name, CommandKind kind, std::string summary, std::vector<Option> requiredOptions,
                      std::vector<Option> optionalOptions, std::vector<std::int32_t> exitCodes,
                      std::vector<std::string> examples, std::vector<std::string> notes) {
  CommandMetadata metadata;
  metadata.usage = BackupCLI::commandUsages().at(name);
  metadata.name = std::move(name);
  metadata.summary = std::move(summary);
  metadata.kind = kind;
  bool write = kind == CommandKind::write;
  metadata.risk = write ? "medium" : "safe";
  metadata.destructive = write;
  metadata.confirmationRequired = write;
  metadata.requiredOptions = std::move(requiredOptions);
  optionalOptions.push_back(outputOption());
  metadata.optionalOptions = std::move(optionalOptions);
  metadata.outputFormats = {"text", "json"};
  metadata.exitCodes = std::move(exitCodes);
  // Every command ends with 128 + the signal on SIGHUP, SIGINT and SIGTERM.
  metadata.exitCodes.insert(metadata.exitCodes.end(), {129, 130, 143});
  metadata.examples = std::move(examples);
  metadata.notes = std::move(notes);
  return metadata;
}

std::vector<CommandMetadata> buildCatalog() {
  const std::string repo = "/Volumes/Backup/TovarineRepository";
  const std::string writeJsonNote =
      "JSON output is available for dry-runs and confirmation-required envelopes; successful writes remain text "
      "output.";
  const Option hydrateOverwrite =
      option("--overwrite", "true|false", "Allow merging into or replacing destination object files.");
  std::vector<CommandMetadata> all;
  all.push_back(entry("commands", CommandKind::discovery,
                      "List commands with stable metadata for humans, scripts, and agents.", {}, {}, {0, 2, 1},
                      {"tvr commands --json"}, {"Use this before invoking unfamiliar commands."}));
  all.push_back(entry("describe", CommandKind::discovery,
                      "Describe one command's options, examples, exit codes, and risk.",
                      {required(option("command", std::nullopt, "Command name to describe."))}, {}, {0, 2, 1},
                      {"tvr describe restore --json", "tvr describe info --json"},
                      {"Unknown commands fail with code unknown_command."}));
  all.push_back(entry("agent-context", CommandKind::discovery,
                      "Print safe CLI workflows and protocol guidance for agents.", {}, {}, {0, 2, 1},
                      {"tvr agent-context", "tvr agent-context --json"},
                      {"Use this to choose safe defaults for recovery workflows."}));
  all.push_back(entry("info", CommandKind::read, "Print public repository metadata from repo.json.",
                      {repositoryArgument()}, {}, {0, 2, 4, 1}, {"tvr info " + repo + " --json"},
                      {"Does not require recovery material."}));
  all.push_back(entry("verify", CommandKind::read,
                      "Check repository integrity and report missing, corrupt, or orphaned blobs.",
                      {repositoryArgument(), passwordFileOption()}, {}, {0, 2, 4, 5, 6, 1},
                      {"tvr verify " + repo + " --recovery-password-file ~/recovery.txt --json"},
                      {"JSON verify output is emitted before exit code 5 when integrity issues exist."}));
  all.push_back(entry("list-plans", CommandKind::read, "List plans recorded in a repository.", {repositoryArgument()},
                      {}, {0, 2, 4, 1}, {"tvr list-plans " + repo + " --json"},
                      {"Does not require recovery material."}));
  all.push_back(entry("list-runs", CommandKind::read, "List completed runs for a plan.",
                      {repositoryArgument(), planOption()}, {}, {0, 2, 4, 1},
                      {"tvr list-runs " + repo + " --plan personal-documents --json"},
                      {"Does not require recovery material."}));
  all.push_back(
      entry("list", CommandKind::read, "List files and directories in a selected run.",
            {repositoryArgument(), planOption(), runOption(), passwordFileOption()},
            {option("--path", "path", "Directory path to list.")}, {0, 2, 4, 6, 1},
            {"tvr list " + repo + " --plan personal-documents --run 8 --recovery-password-file ~/recovery.txt --json"},
            {"Use normalized paths from this output with restore."}));
  all.push_back(
      entry("search", CommandKind::read, "Search filenames in a selected run.",
            {repositoryArgument(), planOption(), runOption(), required(option("--name", "query", "Filename query.")),
             passwordFileOption()},
            {option("--limit", "count", "Maximum number of results."),
             option("--exact", std::nullopt, "Return exact filename or filename-stem matches only."),
             option("--prefix", std::nullopt, "Return exact and prefix matches."),
             option("--contains", std::nullopt, "Return exact, prefix, and contains matches.")},
            {0, 2, 4, 6, 1},
            {"tvr search " + repo +
             " --plan personal-documents --run 8 --name invoice --recovery-password-file ~/recovery.txt --json"},
            {"JSON output includes matchMode and matchType."}));
  all.push_back(entry("restore", CommandKind::write, "Restore one file from a selected run.",
                      {repositoryArgument(), planOption(), runOption(),
                       required(option("--path", "path", "Normalized repository file path.")),
                       required(option("--to", "destination", "Destination file path.")), passwordFileOption()},
                      {option("--overwrite", "true|false", "Allow replacing an existing destination."),
                       option("--dry-run", std::nullopt,
                              "Validate the restore and describe the planned write without creating files.")},
                      {0, 2, 3, 4, 5, 6, 1},
                      {"tvr restore " + repo +
                       " --plan personal-documents --run 8 --path documents/report.pdf --to ~/Desktop/report.pdf "
                       "--recovery-password-file ~/recovery.txt --dry-run --json"},
                      {"Refuses existing destinations unless --overwrite true is supplied.", writeJsonNote}));
  all.push_back(entry(
      "export", CommandKind::write, "Export every restorable file and directory from a selected run.",
      {repositoryArgument(), planOption(), runOption(),
       required(option("--to", "destination", "Destination directory.")), passwordFileOption()},
      {option("--overwrite", "true|false", "Allow replacing matching destination files."),
       option("--dry-run", std::nullopt, "Validate the export and summarize planned output without creating files.")},
      {0, 2, 3, 4, 5, 6, 1},
      {"tvr export " + repo +
       " --plan personal-documents --run 8 --to ~/Desktop/TovarineExport --recovery-password-file "
       "~/recovery.txt --dry-run --json"},
      {"Refuses existing files and non-empty directories unless --overwrite true is supplied.", writeJsonNote}));
  all.push_back(entry(
      "hydrate-local", CommandKind::write, "Rebuild a local repository from repository object files.",
      {required(option("source-object-root", std::nullopt, "Source object root.")),
       required(option("--to", "repository", "Destination repository root."))},
      {hydrateOverwrite,
       option("--dry-run", std::nullopt, "Validate local object access and destination policy without writing files.")},
      {0, 2, 3, 4, 1},
      {"tvr hydrate-local /Volumes/ObjectMirror --to ~/Desktop/HydratedTovarineRepository --dry-run --json"},
      {"Writes repository objects into the destination root.",
       "Refuses non-empty destinations unless --overwrite true is supplied."}));
  all.push_back(
      entry("hydrate-s3", CommandKind::write, "Rebuild a local repository from S3-compatible object storage.",
            {repositoryArgument(), required(option("--bucket", "bucket", "S3 bucket name.")),
             required(option("--region", "region", "S3 region.")),
             required(option("--access-key-id", "key", "S3 access key ID.")),
             required(option("--secret-access-key", "secret", "S3 secret access key or AWS_SECRET_ACCESS_KEY."))},
            {option("--endpoint", "url", "S3-compatible endpoint URL."),
             option("--session-token", "token", "Temporary session token."),
             option("--path-style", "true|false", "Force path-style addressing."), hydrateOverwrite,
             option("--dry-run", std::nullopt,
                    "Validate local options, credential shape, and destination policy without network access.")},
            {0, 2, 3, 4, 6, 7, 1},
            {std::string("tvr hydrate-s3 ~/Desktop/HydratedTovarineRepository --bucket my-backups --region auto "
                         "--endpoint ") +
             CLIInputValidation::kExampleEndpoint + " --path-style true --access-key-id EXAMPLE --dry-run --json"},
            {"Prefer AWS_SECRET_ACCESS_KEY over passing secrets on the command line.",
             "Dry-run validates local options and credential presence without listing provider objects."}));
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
