#include "BackupCLI/ParsedOptions.h"

#include <charconv>

#include "BackupCLI/CLIInputValidation.h"
#include "BackupCLI/CommandTable.h"
#include "platform/Unicode.h"

namespace tvr::cli {

namespace {

bool beginsWithDoubleDash(const std::string& argument) { return argument.rfind("--", 0) == 0; }

CLIError unexpectedArgument(const std::string& argument) {
  return CLIError::usage("unexpected_argument", "Unexpected argument: " + argument,
                         "Run command help and remove the unexpected argument.", {{"argument", argument}});
}

}  // namespace

const std::vector<std::string>& recoveryPasswordOptions() {
  static const std::vector<std::string> names = {"--recovery-password", "--recovery-password-file",
                                                 "--recovery-password-env"};
  return names;
}

const std::set<std::string>& ParsedOptions::valuelessFlags() {
  static const std::set<std::string> flags = flagOptions();
  return flags;
}

const std::set<std::string>& ParsedOptions::acceptedOptions(const std::string& command) {
  static const std::map<std::string, std::set<std::string>> table = [] {
    std::map<std::string, std::set<std::string>> map;
    for (const CommandDefinition& definition : commandTable()) map.emplace(definition.name, cli::acceptedOptions(definition));
    return map;
  }();
  static const std::set<std::string> none;
  auto it = table.find(command);
  return it == table.end() ? none : it->second;
}

std::filesystem::path fileLocation(const std::string& path) {
  // Lexically normal, so paths echoed back carry no "/./" or "..".
  std::filesystem::path location = std::filesystem::absolute(std::filesystem::path(path)).lexically_normal();
  // A file location names the item, not a directory listing: drop trailing separators.
  std::string text = location.string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return std::filesystem::path(text);
}

std::optional<std::int64_t> parseInt64(const std::string& text) {
  std::size_t start = 0;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) start = 1;
  if (start == text.size()) return std::nullopt;
  for (std::size_t i = start; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
  }
  // from_chars accepts a leading "-" but not "+".
  std::size_t from = text[0] == '+' ? 1 : 0;
  std::int64_t result = 0;
  auto [end, error] = std::from_chars(text.data() + from, text.data() + text.size(), result);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return result;
}

ParsedOptions::ParsedOptions(const std::string& command, const std::vector<std::string>& args) : command_(command) {
  // An option in first place means the repository path was left out.
  if (args.empty() || beginsWithDoubleDash(args[0])) {
    throw CLIError::usage("missing_repository_path", "Missing repository path",
                          "Pass the repository path after the command name.");
  }
  CLIInputValidation::validateFilesystemPath(args[0], "repository");
  repository_ = fileLocation(args[0]);

  const std::set<std::string>& accepted = acceptedOptions(command);
  std::size_t i = 1;
  while (i < args.size()) {
    const std::string& option = args[i];
    if (!beginsWithDoubleDash(option)) throw unexpectedArgument(option);
    if (accepted.count(option) == 0) {
      throw CLIError::usage("unknown_option", "Unknown option for " + command + ": " + option,
                            "Run `tvr " + command + " --help` for supported options.",
                            {{"command", command}, {"option", option}});
    }
    if (options_.count(option) != 0) {
      throw CLIError::usage("duplicate_option", "Duplicate option for " + command + ": " + option,
                            "Pass each single-value option only once.", {{"command", command}, {"option", option}});
    }
    bool hasNext = i + 1 < args.size();
    if (valuelessFlags().count(option) != 0) {
      if (hasNext && !beginsWithDoubleDash(args[i + 1])) {
        throw CLIError::usage("unexpected_flag_value", option + " does not take a value",
                              "Remove the value after " + option + ".", {{"option", option}});
      }
      options_[option] = "true";
      i += 1;
      continue;
    }
    if (!hasNext || beginsWithDoubleDash(args[i + 1])) {
      throw CLIError::usage("missing_option_value", "Missing value for " + option, "Pass a value after " + option + ".",
                            {{"option", option}});
    }
    options_[option] = args[i + 1];
    i += 2;
  }
}

std::optional<std::string> ParsedOptions::value(const std::string& option) const {
  auto it = options_.find(option);
  if (it == options_.end()) return std::nullopt;
  return it->second;
}

std::string ParsedOptions::requiredValue(const std::string& option) const {
  std::optional<std::string> found = value(option);
  if (!found) {
    throw CLIError::usage("missing_required_option", "Missing " + option, "Pass the required option " + option + ".",
                          {{"option", option}});
  }
  return *found;
}

std::optional<std::string> ParsedOptions::nonEmptyValue(const std::string& option) const {
  std::optional<std::string> found = value(option);
  if (found) CLIInputValidation::validateNonEmptyValue(*found, option);
  return found;
}

std::optional<bool> ParsedOptions::boolValue(const std::string& option) const {
  std::optional<std::string> found = value(option);
  if (!found) return std::nullopt;
  std::string lowered = unicode::lowercased(*found);
  if (lowered == "true" || lowered == "yes" || lowered == "1") return true;
  if (lowered == "false" || lowered == "no" || lowered == "0") return false;
  throw CLIError::validation("invalid_boolean", option + " must be true or false", "Use true, false, yes, no, 1, or 0.",
                             {{"option", option}, {"value", *found}});
}

std::optional<std::int64_t> ParsedOptions::intValue(const std::string& option) const {
  std::optional<std::string> found = value(option);
  if (!found) return std::nullopt;
  std::optional<std::int64_t> number = parseInt64(*found);
  if (!number) {
    throw CLIError::validation("invalid_integer", option + " must be an integer", "Pass an integer value.",
                               {{"option", option}, {"value", *found}});
  }
  return number;
}

std::int64_t ParsedOptions::requiredRunID() const {
  std::optional<std::int64_t> runID = parseInt64(requiredValue("--run"));
  if (!runID) {
    throw CLIError::validation("invalid_integer", "--run must be an integer",
                               "Pass a numeric run ID from `tvr list-runs`.", {{"option", "--run"}});
  }
  if (*runID <= 0) {
    throw CLIError::validation("invalid_run_id", "--run must be greater than 0",
                               "Pass a positive run ID from `tvr list-runs`.", {{"option", "--run"}});
  }
  return *runID;
}

SearchMode ParsedOptions::searchMode() const {
  std::vector<SearchMode> modes;
  if (contains("--exact")) modes.push_back(SearchMode::exact);
  if (contains("--prefix")) modes.push_back(SearchMode::prefix);
  if (contains("--contains")) modes.push_back(SearchMode::contains);
  if (modes.empty()) return SearchMode::fuzzy;
  if (modes.size() == 1) return modes.front();
  throw CLIError::usage("multiple_search_modes", "Use only one search mode: --exact, --prefix, or --contains",
                        "Choose one search mode flag.");
}

void noArguments(const std::vector<std::string>& args, const std::string& command) {
  if (args.empty()) return;
  const std::string& argument = args.front();
  throw CLIError::usage("unexpected_argument", "Unexpected argument for " + command + ": " + argument,
                        "Run `tvr " + command + " --help` and remove the unexpected argument.",
                        {{"argument", argument}, {"command", command}});
}

std::filesystem::path singlePathArgument(const std::vector<std::string>& args, const std::string& name) {
  std::optional<std::string> first;
  if (!args.empty()) first = args.front();
  std::filesystem::path location = requiredPath(first, name);
  if (args.size() > 1) throw unexpectedArgument(args[1]);
  return location;
}

std::filesystem::path requiredPath(const std::optional<std::string>& value, const std::string& name) {
  if (!value) {
    throw CLIError::usage("missing_path", "Missing " + name + " path", "Pass the required path argument.",
                          {{"name", name}});
  }
  CLIInputValidation::validateFilesystemPath(*value, name);
  return fileLocation(*value);
}

void requireTextOutput(OutputFormat format, const std::string& command) {
  if (format != OutputFormat::json) return;
  throw CLIError::usage(
      "unsupported_output_format", "Output format json is not supported for " + command + " yet. Use --output text.",
      "Use --output text for write commands unless --dry-run is supplied.", {{"command", command}, {"format", "json"}});
}

}  // namespace tvr::cli
