#include <algorithm>
#include <nlohmann/json.hpp>

#include "BackupCLI/CLIInputValidation.h"
#include "BackupCLI/CommandHandlers.h"
#include "BackupCLI/FuzzyFilenameMatcher.h"
#include "BackupCLI/RecoveryPassword.h"
#include "engine/catalog/BackupCatalog.h"
#include "engine/storage/RepositoryRestoreReader.h"
#include "platform/Unicode.h"

namespace tvr::cli {

// list, search: read the decrypted snapshot of one run.

namespace {

// A file that matched the query, with its rank.
struct FilenameSearchMatch {
  SnapshotEntry entry;
  int score;
  FuzzyFilenameMatcher::MatchType matchType;
  std::size_t walkPosition;
};

// Whether the run has a directory at `relPathNorm` (an empty one lists nothing, a typo
// must not look the same): its parent's listing holds it as a directory.
bool isFolderOfRun(const RepositoryRestoreReader& reader, const std::string& planID, std::int64_t runID,
                   std::string relPathNorm) {
  while (!relPathNorm.empty() && relPathNorm.back() == '/') relPathNorm.pop_back();
  if (relPathNorm.empty()) return true;
  std::size_t slash = relPathNorm.rfind('/');
  std::optional<std::string> parent;
  if (slash != std::string::npos) parent = relPathNorm.substr(0, slash);
  for (const SnapshotEntry& entry : reader.listChildren(PlanID(planID), runID, parent)) {
    if (entry.kind == SnapshotKind::directory && entry.relPathNorm == relPathNorm) return true;
  }
  return false;
}

}  // namespace

void runList(const ParsedOptions& options, const CommandContext& context) {
  std::string planID = requiredPlanID(options);
  std::int64_t runID = options.requiredRunID();
  std::optional<std::string> path = options.value("--path");
  if (path) CLIInputValidation::validateRepositoryRelativePath(*path, "--path");
  std::optional<RepositoryKeyMaterial> key =
      requiredRepositoryKeyMaterial(options.repository(), options, context.environment);

  std::optional<std::string> lookup;
  if (path) lookup = catalogPath(options.repository(), key, planID, runID, *path);
  RepositoryRestoreReader reader(options.repository(), std::move(key));
  std::vector<SnapshotEntry> entries = reader.listChildren(PlanID(planID), runID, lookup);
  if (entries.empty() && lookup && !isFolderOfRun(reader, planID, runID, *lookup)) {
    throw CLIError("repository_item_not_found", "repository",
                   "No folder at " + *path + " in run " + std::to_string(runID),
                   "Use `tvr list` to see the folders of the run.", ExitCode::repository,
                   {{"path", *path}, {"runID", std::to_string(runID)}});
  }

  if (context.outputFormat == OutputFormat::text) {
    for (const SnapshotEntry& entry : entries) {
      context.output(snapshotKindName(entry.kind) + "\t" + visibleText(entry.relPathNorm));
    }
    return;
  }
  nlohmann::json list = nlohmann::json::array();
  for (const SnapshotEntry& entry : entries) list.push_back(snapshotEntryJson(entry));
  nlohmann::json response = {
      {"schemaVersion", 1}, {"command", "list"}, {"repository", options.repository().string()},
      {"planID", planID},   {"runID", runID},    {"entries", std::move(list)},
  };
  if (path) response["path"] = *path;
  context.output(jsonString(response));
}

void runSearch(const ParsedOptions& options, const CommandContext& context) {
  std::string planID = requiredPlanID(options);
  std::int64_t runID = options.requiredRunID();
  std::string name = options.requiredValue("--name");
  std::int64_t limit = options.intValue("--limit").value_or(kDefaultSearchLimit);
  SearchMode mode = options.searchMode();
  std::optional<RepositoryKeyMaterial> key =
      requiredRepositoryKeyMaterial(options.repository(), options, context.environment);
  validateSearchQuery(name, limit);

  // One snapshot build for the whole run, walked in listing order; only the best `limit`
  // matches are kept, in a heap whose top is the worst of them.
  RepositoryRestoreReader reader(options.repository(), std::move(key));
  const RestoreSnapshot snapshot = reader.loadSnapshot(PlanID(planID), runID);
  // Higher score first, then Finder order of relPath, then walk position: the order of a
  // stable sort of every match.
  auto ranksBefore = [](const FilenameSearchMatch& a, const FilenameSearchMatch& b) {
    if (a.score != b.score) return a.score > b.score;
    if (int order = unicode::finderCompare(a.entry.relPath, b.entry.relPath)) return order < 0;
    return a.walkPosition < b.walkPosition;
  };
  const auto kept = static_cast<std::uint64_t>(limit);
  std::vector<FilenameSearchMatch> matches;
  std::size_t matchCount = 0;
  snapshot.walk(std::nullopt, [&](const SnapshotEntry& file) {
    if (file.kind == SnapshotKind::directory) return;
    std::optional<FuzzyFilenameMatcher::Match> match = FuzzyFilenameMatcher::match(name, file.name, mode);
    if (!match) return;
    FilenameSearchMatch candidate{SnapshotEntry(), match->score, match->matchType, matchCount++};
    if (matches.size() == kept) {
      // Compared before the entry is copied: most matches of a large run rank below the kept.
      candidate.entry.relPath = file.relPath;
      if (!ranksBefore(candidate, matches.front())) return;
      std::pop_heap(matches.begin(), matches.end(), ranksBefore);
      matches.pop_back();
    }
    candidate.entry = file;
    matches.push_back(std::move(candidate));
    std::push_heap(matches.begin(), matches.end(), ranksBefore);
  });
  std::sort_heap(matches.begin(), matches.end(), ranksBefore);

  if (context.outputFormat == OutputFormat::text) {
    for (const FilenameSearchMatch& match : matches) {
      context.output(std::to_string(match.score) + "\t" + visibleText(match.entry.relPath));
    }
    return;
  }
  nlohmann::json results = nlohmann::json::array();
  for (const FilenameSearchMatch& match : matches) {
    nlohmann::json result = snapshotEntryJson(match.entry);
    result.erase("id");  // search results carry no entry id
    result["kind"] = "file";
    result["score"] = match.score;
    result["matchType"] = FuzzyFilenameMatcher::matchTypeText(match.matchType);
    results.push_back(std::move(result));
  }
  context.output(jsonString({
      {"schemaVersion", 1},
      {"command", "search"},
      {"repository", options.repository().string()},
      {"query", name},
      {"limit", limit},
      {"matchMode", searchModeText(mode)},
      {"results", std::move(results)},
  }));
}

void validateSearchQuery(const std::string& name, std::int64_t limit) {
  // Unicode White_Space, which includes the line ends.
  auto isWhiteSpace = [](char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
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
  CLIInputValidation::rejectControlCharactersInName(name, "--name");
  if (limit < 1) {
    throw CLIError::validation("invalid_limit", "--limit must be greater than 0",
                               "Pass a positive integer with --limit.", {{"option", "--limit"}});
  }
}

}  // namespace tvr::cli
