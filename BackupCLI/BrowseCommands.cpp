#include "BackupCLI/CLIInputValidation.h"
#include "BackupCLI/CommandHandlers.h"
#include "platform/Unicode.h"

namespace tvr::cli {

// list, search: read the decrypted snapshot of one run.

void runList(const ParsedOptions& options, const CommandContext& context) {
  std::string planID = requiredPlanID(options);
  std::int64_t runID = options.requiredRunID();
  std::optional<std::string> path = options.value("--path");
  if (path) CLIInputValidation::validateRepositoryRelativePath(*path, "--path");
  (void)planID;
  (void)runID;
  // Engine work lands with the recovery commands.
  // requiredRepositoryKeyMaterial (recovery password sources), then
  // RepositoryRestoreReader.listChildren(planID, runID, path) and the lines or ListResponse.
  engineWorkUnavailable(context.command);
}

void runSearch(const ParsedOptions& options, const CommandContext& context) {
  std::string planID = requiredPlanID(options);
  std::int64_t runID = options.requiredRunID();
  std::string name = options.requiredValue("--name");
  std::int64_t limit = options.intValue("--limit").value_or(kDefaultSearchLimit);
  SearchMode mode = options.searchMode();
  (void)planID;
  (void)runID;
  (void)name;
  (void)limit;
  (void)mode;
  // Engine work lands with the recovery commands.
  // requiredRepositoryKeyMaterial (recovery password sources), then
  // validateSearchQuery(name, limit), then allFiles through the reader, ranking and output.
  engineWorkUnavailable(context.command);
}

void validateSearchQuery(const std::string& name, std::int64_t limit) {
  // Unicode White_Space, which includes the line ends.
  auto isWhiteSpace = [](char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
  };
  bool blank = true;
  for (char32_t c : unicode::toUTF32(name)) {
    if (!isWhiteSpace(c)) {
      blank = false;
      break;
    }
  }
  if (blank) {
    throw CLIError::validation("empty_search_query", "--name must not be empty",
                               "Pass a non-empty filename query with --name.");
  }
  CLIInputValidation::rejectControlCharacters(name, "--name");
  if (limit < 1) {
    throw CLIError::validation("invalid_limit", "--limit must be greater than 0", "Pass a positive integer with --limit.",
                               {{"option", "--limit"}});
  }
}

}  // namespace tvr::cli
