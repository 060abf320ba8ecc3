// Whole command lines through BackupCLI::run with captured sinks and a given environment:
// global options, help/version/manual texts, dispatch, colour, --quiet, and every usage and
// validation error of the front end in text and JSON.

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli/CLITestSupport.h"

namespace tvr::cli {
namespace {

using test::golden;
using test::Outcome;
using test::runCLI;
using test::TempDir;

const char* const kSecret = "SECRET-VALUE-7f3a";
const std::string kUsageLine =
    "Usage: tvr <commands|describe|agent-context|info|verify|list-plans|list-runs|list|search|restore|export|"
    "hydrate-local|hydrate-s3> ...";

std::string infoHelp() {
  return "Usage: tvr info <repository>\n\nRun `tvr --help` for the full command list and global options.\n"
         "See docs/CLI.md for recovery-password, overwrite, and hydration details.\n";
}

// Compact with members sorted and "/" escaped, re-derived from the parsed document.
std::string canonical(const nlohmann::json& value) {
  std::string text = value.dump();
  std::string out;
  for (char c : text) {
    if (c == '/') out += '\\';
    out += c;
  }
  return out;
}

struct OutputCase {
  const char* name;
  std::vector<std::string> args;
  Environment environment;
  std::string out;
  std::string err;
  int status;
};

TEST(BackupCLITest, GlobalOptionsHelpVersionAndManual) {
  const std::string manual = golden("manual.txt");
  const std::string help = golden("help.txt");
  const std::string version = "tvr 2026.3 (8)\n";
  const std::string missingCommandJson =
      R"({"category":"usage","code":"missing_command","details":{},"exitCode":2,"message":"Usage: tvr <commands|describe|agent-context|info|verify|list-plans|list-runs|list|search|restore|export|hydrate-local|hydrate-s3> ...","remediation":"Run `tvr --help` for the command list.","schemaVersion":1,"type":"error"})"
      "\n";
  const OutputCase cases[] = {
      {"no arguments prints the manual", {}, {}, manual, "", 0},
      {"--help alone prints the general help", {"--help"}, {}, help, "", 0},
      {"-h is --help", {"-h"}, {}, help, "", 0},
      {"--version", {"--version"}, {}, version, "", 0},
      {"--version wins over --help", {"--help", "--version"}, {}, version, "", 0},
      {"--version after a command word", {"info", "--version"}, {}, version, "", 0},
      {"--version wins over an unknown command", {"nosuch", "--version"}, {}, version, "", 0},
      {"command help after the word", {"info", "--help"}, {}, infoHelp(), "", 0},
      {"command help before the word", {"--help", "info"}, {}, infoHelp(), "", 0},
      {"command help after a path", {"info", "/repo", "--help"}, {}, infoHelp(), "", 0},
      {"-h after a command", {"info", "-h"}, {}, infoHelp(), "", 0},
      {"help of an unknown word", {"nosuch", "--help"}, {}, "", "Unknown command: nosuch\n", 2},
      {"only --json", {"--json"}, {}, "", missingCommandJson, 2},
      {"only --quiet", {"--quiet"}, {}, "", kUsageLine + "\n", 2},
      {"scan runs before deciding: bad single-dash option",
       {"--version", "-x"},
       {},
       "",
       "Unknown global option: -x\n",
       2},
      {"scan runs before deciding: bad --output",
       {"--version", "--output", "yaml"},
       {},
       "",
       "--output must be text or json\n",
       2},
      {"lone double dash before the command", {"--", "commands"}, {}, "", "Unknown global option: --\n", 2},
      {"--output takes the next word, even --json",
       {"--output", "--json", "commands"},
       {},
       "",
       "--output must be text or json\n",
       2},
      {"single dash alone", {"-"}, {}, "", "Unknown global option: -\n", 2},
      {"command words are case-sensitive", {"Info"}, {}, "", "Unknown command: Info\n", 2},
      {"-x after the command word is the repository path",
       {"info", "-x"},
       {},
       "",
       "Repository is missing repo.json\n",
       4},
      {"-- after the command word is the repository path",
       {"info", "--"},
       {},
       "",
       "Repository is missing repo.json\n",
       4},
      {"--quiet keeps help", {"--quiet", "--help"}, {}, help, "", 0},
      {"--quiet keeps the version", {"--quiet", "--version"}, {}, version, "", 0},
      {"--quiet does not silence errors", {"--quiet", "describe"}, {}, "", "Missing command name\n", 2},
      {"--quiet silences command output", {"commands", "--quiet"}, {}, "", "", 0},
      {"--verbose changes nothing",
       {"--verbose", "describe", "info"},
       {},
       "info: Print public repository metadata from repo.json.\nUsage: tvr info <repository>\nKind: read\nRisk: safe\n",
       "",
       0},
      {"--output json then --output text: text output",
       {"--output", "json", "describe", "info", "--output", "text"},
       {},
       "info: Print public repository metadata from repo.json.\nUsage: tvr info <repository>\nKind: read\nRisk: safe\n",
       "",
       0},
      {"--output json then --output text: JSON errors",
       {"--output", "json", "describe", "--output", "text"},
       {},
       "",
       R"({"category":"usage","code":"missing_command_name","details":{},"exitCode":2,"message":"Missing command name","remediation":"Run `tvr describe <command> --json`.","schemaVersion":1,"type":"error"})"
       "\n",
       2},
      {"--output value is case-insensitive", {"commands", "--output", "JSON"}, {}, golden("commands.json"), "", 0},
      {"--output= form", {"--output=Json", "commands"}, {}, golden("commands.json"), "", 0},
      {"--json between command arguments",
       {"describe", "--json", "restore"},
       {},
       golden("describe-restore.json"),
       "",
       0},
      {"commands --json", {"commands", "--json"}, {}, golden("commands.json"), "", 0},
      {"describe restore --json", {"describe", "restore", "--json"}, {}, golden("describe-restore.json"), "", 0},
      {"agent-context --json", {"agent-context", "--json"}, {}, golden("agent-context.json"), "", 0},
      {"agent-context text",
       {"agent-context"},
       {},
       "Prefer --json for read-only commands and discovery.\n"
       "Use --recovery-password-file or --recovery-password-env instead of inline passwords.\n"
       "Treat exit code 3 as confirmation required and rerun only with explicit user approval.\n"
       "Use commands and describe to inspect command metadata before invoking write commands.\n",
       "",
       0},
      {"describe text",
       {"describe", "hydrate-s3"},
       {},
       "hydrate-s3: Rebuild a local repository from S3-compatible object storage.\n"
       "Usage: tvr hydrate-s3 <repository> --bucket <bucket> --region <region> --access-key-id <key> [--endpoint "
       "<url>] [--path-style true] [--overwrite true] [--dry-run]\nKind: write\nRisk: medium\n",
       "",
       0},
  };
  for (const OutputCase& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome outcome = runCLI(c.args, c.environment);
    EXPECT_EQ(outcome.out, c.out);
    EXPECT_EQ(outcome.err, c.err);
    EXPECT_EQ(outcome.status, c.status);
  }
}

TEST(BackupCLITest, CommandsTextListsThirteenTabSeparatedLines) {
  Outcome outcome = runCLI({"commands"});
  ASSERT_EQ(outcome.status, 0);
  std::vector<std::string> lines;
  std::stringstream stream(outcome.out);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 13u);
  EXPECT_EQ(lines[0], "commands\tdiscovery\tsafe\tList commands with stable metadata for humans, scripts, and agents.");
  EXPECT_EQ(lines[9], "restore\twrite\tmedium\tRestore one file from a selected run.");
  EXPECT_EQ(lines[12], "hydrate-s3\twrite\tmedium\tRebuild a local repository from S3-compatible object storage.");
}

TEST(BackupCLITest, GlobalOptionsGiveTheSameResultBeforeAndAfterTheCommand) {
  EXPECT_EQ(runCLI({"--json", "describe", "info"}).out, runCLI({"describe", "info", "--json"}).out);
  Outcome before = runCLI({"--json", "list-plans", "repo"});
  Outcome after = runCLI({"list-plans", "repo", "--json"});
  EXPECT_EQ(before.err, after.err);
  EXPECT_EQ(before.status, after.status);
}

// Colour: the first line of `commands` (a tab line: cyan first field) and `describe`
// (bold lines) under each environment rule.
TEST(BackupCLITest, ColourFollowsTheEnvironment) {
  const std::string plain =
      "commands\tdiscovery\tsafe\tList commands with stable metadata for humans, scripts, and agents.";
  const std::string coloured =
      "\x1b[36mcommands\x1b[0m\tdiscovery\tsafe\tList commands with stable metadata for humans, scripts, and agents.";
  struct Case {
    const char* name;
    Environment environment;
    std::vector<std::string> extra;
    bool terminal;
    bool colour;
  };
  const Case cases[] = {
      {"empty environment", {}, {}, true, false},
      {"TERM unset", {{"PATH", "/bin"}}, {}, true, false},
      {"TERM set", {{"TERM", "xterm-256color"}}, {}, true, true},
      {"TERM set, output not a terminal", {{"TERM", "xterm-256color"}}, {}, false, false},
      {"TERM empty", {{"TERM", ""}}, {}, true, false},
      {"TERM dumb", {{"TERM", "dumb"}}, {}, true, false},
      {"CLICOLOR_FORCE=1 beats TERM dumb", {{"TERM", "dumb"}, {"CLICOLOR_FORCE", "1"}}, {}, true, true},
      {"CLICOLOR_FORCE=1 without TERM", {{"CLICOLOR_FORCE", "1"}}, {}, true, true},
      {"CLICOLOR_FORCE=1, output not a terminal", {{"CLICOLOR_FORCE", "1"}, {"TERM", "xterm"}}, {}, false, true},
      {"CLICOLOR_FORCE empty forces too", {{"CLICOLOR_FORCE", ""}}, {}, false, true},
      {"CLICOLOR_FORCE=0 falls through to TERM", {{"CLICOLOR_FORCE", "0"}, {"TERM", "xterm"}}, {}, true, true},
      {"CLICOLOR_FORCE=0, output not a terminal", {{"CLICOLOR_FORCE", "0"}, {"TERM", "xterm"}}, {}, false, false},
      {"CLICOLOR_FORCE=0 without TERM", {{"CLICOLOR_FORCE", "0"}}, {}, true, false},
      {"CLICOLOR=0", {{"TERM", "xterm"}, {"CLICOLOR", "0"}}, {}, true, false},
      {"CLICOLOR=1", {{"TERM", "xterm"}, {"CLICOLOR", "1"}}, {}, true, true},
      {"NO_COLOR empty wins over force",
       {{"NO_COLOR", ""}, {"CLICOLOR_FORCE", "1"}, {"TERM", "xterm"}},
       {},
       true,
       false},
      {"NO_COLOR set", {{"NO_COLOR", "1"}, {"TERM", "xterm"}}, {}, true, false},
      {"--no-color wins over force", {{"CLICOLOR_FORCE", "1"}, {"TERM", "xterm"}}, {"--no-color"}, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"commands"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    Outcome outcome;
    BackupCLI cli(c.environment, Terminals{c.terminal, c.terminal});
    outcome.status = cli.run(
        args, [&](const std::string& line) { outcome.out += line + "\n"; },
        [&](const std::string& line) { outcome.err += line + "\n"; });
    ASSERT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out.substr(0, outcome.out.find('\n')), c.colour ? coloured : plain);
  }

  Environment forced = {{"CLICOLOR_FORCE", "1"}};
  EXPECT_EQ(runCLI({"describe", "info"}, forced).out,
            "\x1b[1minfo: Print public repository metadata from repo.json.\x1b[0m\n"
            "\x1b[1mUsage: tvr info <repository>\x1b[0m\n\x1b[1mKind: read\x1b[0m\n\x1b[1mRisk: safe\x1b[0m\n");
  EXPECT_EQ(runCLI({"commands", "--json"}, forced).out, golden("commands.json")) << "JSON is never coloured";
  EXPECT_EQ(runCLI({"--help"}, forced).out, golden("help.txt")) << "help bypasses the command sink";
  EXPECT_EQ(runCLI({"describe"}, forced).err, "Missing command name\n") << "errors are never coloured";
}

TEST(BackupCLITest, LineDecorationRules) {
  struct Case {
    const char* line;
    const char* command;
    std::string expected;
  };
  const Case cases[] = {
      {"Dry run: restore a to /b", "restore", "\x1b[33mDry run: restore a to /b\x1b[0m"},
      {"Dry run:\twith tab", "describe", "\x1b[33mDry run:\twith tab\x1b[0m"},
      {"Restored documents/a.pdf", "restore", "\x1b[32mRestored documents/a.pdf\x1b[0m"},
      {"Exported run 8", "export", "\x1b[32mExported run 8\x1b[0m"},
      {"Hydrated 3 objects", "hydrate-s3", "\x1b[32mHydrated 3 objects\x1b[0m"},
      {"Restoredx", "restore", "Restoredx"},
      {"8\t2026-03-05T09:30:00Z\tunfinished", "list-runs", "\x1b[36m8\x1b[0m\t2026-03-05T09:30:00Z\tunfinished"},
      {"\tempty first\t\t", "list", "\x1b[36m\x1b[0m\tempty first\t\t"},
      {"Kind: read", "describe", "\x1b[1mKind: read\x1b[0m"},
      {"Prefer --json", "agent-context", "\x1b[1mPrefer --json\x1b[0m"},
      {"Repository format: 1", "info", "Repository format: 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(BackupCLI::decorateLine(c.line, c.command), c.expected);
  }
}

// One failure of the front end; each row is run in text mode and in JSON mode ("--json"
// placed first, so the pre-scan picks JSON).
struct ErrorCase {
  const char* name;
  std::vector<std::string> args;
  Environment environment;
  std::string code;
  std::string category;
  std::string message;
  std::string remediation;
  int exitCode;
  std::map<std::string, std::string> details;
};

void checkErrorCase(const ErrorCase& c) {
  SCOPED_TRACE(c.name);
  Outcome text = runCLI(c.args, c.environment);
  EXPECT_EQ(text.out, "");
  EXPECT_EQ(text.err, c.message + "\n");
  EXPECT_EQ(text.status, c.exitCode);
  EXPECT_EQ(text.err.find(kSecret), std::string::npos);

  std::vector<std::string> jsonArgs = {"--json"};
  jsonArgs.insert(jsonArgs.end(), c.args.begin(), c.args.end());
  Outcome json = runCLI(jsonArgs, c.environment);
  EXPECT_EQ(json.out, "");
  EXPECT_EQ(json.status, c.exitCode);
  EXPECT_EQ(json.err.find(kSecret), std::string::npos);
  ASSERT_FALSE(json.err.empty());
  ASSERT_EQ(json.err.back(), '\n');
  std::string line = json.err.substr(0, json.err.size() - 1);
  ASSERT_EQ(line.find('\n'), std::string::npos) << "one line";
  nlohmann::json envelope = nlohmann::json::parse(line);
  EXPECT_EQ(line, canonical(envelope)) << "compact, sorted, \"/\" escaped";
  nlohmann::json details = nlohmann::json::object();
  for (const auto& [key, value] : c.details) details[key] = value;
  nlohmann::json expected = {{"schemaVersion", 1},     {"type", "error"},      {"code", c.code},
                             {"category", c.category}, {"message", c.message}, {"remediation", c.remediation},
                             {"exitCode", c.exitCode}, {"details", details}};
  EXPECT_EQ(envelope, expected);
}

const char* const kUnexpectedRemediation = "Run command help and remove the unexpected argument.";
const char* const kPlanRemediation =
    "Use a non-empty plan ID containing only letters, numbers, dash, underscore, period, colon, or pipe.";

TEST(BackupCLITest, GlobalAndDispatchErrors) {
  const ErrorCase cases[] = {
      {"only global options",
       {"--quiet"},
       {},
       "missing_command",
       "usage",
       "Usage: tvr <commands|describe|agent-context|info|verify|list-plans|list-runs|list|search|restore|export|"
       "hydrate-local|hydrate-s3> ...",
       "Run `tvr --help` for the command list.",
       2,
       {}},
      {"unknown command",
       {"nosuch", "x"},
       {},
       "unknown_command",
       "usage",
       "Unknown command: nosuch",
       "Run `tvr --help` for the command list.",
       2,
       {{"command", "nosuch"}}},
      {"unknown global option",
       {"-x", "commands"},
       {},
       "unknown_global_option",
       "usage",
       "Unknown global option: -x",
       "Run `tvr --help` for supported global options.",
       2,
       {{"option", "-x"}}},
      {"unknown double-dash global option",
       {"--plan", "p", "list-runs"},
       {},
       "unknown_global_option",
       "usage",
       "Unknown global option: --plan",
       "Run `tvr --help` for supported global options.",
       2,
       {{"option", "--plan"}}},
      {"--output without value",
       {"commands", "--output"},
       {},
       "missing_option_value",
       "usage",
       "Missing value for --output",
       "Pass text or json after --output.",
       2,
       {{"option", "--output"}}},
      {"--output yaml",
       {"--output", "YAML", "commands"},
       {},
       "invalid_output_format",
       "usage",
       "--output must be text or json",
       "Choose one of: text, json.",
       2,
       {{"format", "YAML"}}},
      {"--output= empty",
       {"--output=", "commands"},
       {},
       "invalid_output_format",
       "usage",
       "--output must be text or json",
       "Choose one of: text, json.",
       2,
       {{"format", ""}}},
      {"commands with an argument",
       {"commands", "extra"},
       {},
       "unexpected_argument",
       "usage",
       "Unexpected argument for commands: extra",
       "Run `tvr commands --help` and remove the unexpected argument.",
       2,
       {{"argument", "extra"}, {"command", "commands"}}},
      {"agent-context with an argument",
       {"agent-context", "--plan"},
       {},
       "unexpected_argument",
       "usage",
       "Unexpected argument for agent-context: --plan",
       "Run `tvr agent-context --help` and remove the unexpected argument.",
       2,
       {{"argument", "--plan"}, {"command", "agent-context"}}},
      {"describe without a name",
       {"describe"},
       {},
       "missing_command_name",
       "usage",
       "Missing command name",
       "Run `tvr describe <command> --json`.",
       2,
       {}},
      {"describe is case-sensitive",
       {"describe", "Restore"},
       {},
       "unknown_command",
       "usage",
       "Unknown command: Restore",
       "Run `tvr commands --json` for the command list.",
       2,
       {{"command", "Restore"}}},
      {"describe with an extra argument",
       {"describe", "restore", "extra"},
       {},
       "unexpected_argument",
       "usage",
       "Unexpected argument for describe: extra",
       "Run `tvr describe --help` and remove the unexpected argument.",
       2,
       {{"argument", "extra"}, {"command", "describe"}}},
      {"describe checks extras before the lookup",
       {"describe", "nosuch", "extra"},
       {},
       "unexpected_argument",
       "usage",
       "Unexpected argument for describe: extra",
       "Run `tvr describe --help` and remove the unexpected argument.",
       2,
       {{"argument", "extra"}, {"command", "describe"}}},
  };
  for (const ErrorCase& c : cases) checkErrorCase(c);
}

TEST(BackupCLITest, PathArgumentAndOptionParsingErrors) {
  const ErrorCase cases[] = {
      {"info without a path",
       {"info"},
       {},
       "missing_path",
       "usage",
       "Missing repository path",
       "Pass the required path argument.",
       2,
       {{"name", "repository"}}},
      {"list-plans without a path",
       {"list-plans"},
       {},
       "missing_path",
       "usage",
       "Missing repository path",
       "Pass the required path argument.",
       2,
       {{"name", "repository"}}},
      {"info with an empty path",
       {"info", ""},
       {},
       "empty_path",
       "validation",
       "repository path must not be empty",
       "Pass a non-empty filesystem path.",
       2,
       {{"option", "repository"}}},
      {"info path with a control character",
       {"info", "re\x01po"},
       {},
       "control_character_in_input",
       "validation",
       "repository must not contain control characters",
       "Remove control characters and retry.",
       2,
       {{"option", "repository"}}},
      {"info path with a C1 control character",
       {"info", "re\u0085po"},
       {},
       "control_character_in_input",
       "validation",
       "repository must not contain control characters",
       "Remove control characters and retry.",
       2,
       {{"option", "repository"}}},
      {"info with two paths",
       {"info", "a", "b/c"},
       {},
       "unexpected_argument",
       "usage",
       "Unexpected argument: b/c",
       kUnexpectedRemediation,
       2,
       {{"argument", "b/c"}}},
      {"list-runs without a path",
       {"list-runs"},
       {},
       "missing_repository_path",
       "usage",
       "Missing repository path",
       "Pass the repository path after the command name.",
       2,
       {}},
      {"list-runs with an empty path",
       {"list-runs", "", "--plan", "p"},
       {},
       "empty_path",
       "validation",
       "repository path must not be empty",
       "Pass a non-empty filesystem path.",
       2,
       {{"option", "repository"}}},
      {"list-runs without --plan",
       {"list-runs", "repo"},
       {},
       "missing_required_option",
       "usage",
       "Missing --plan",
       "Pass the required option --plan.",
       2,
       {{"option", "--plan"}}},
      {"list-runs with a bad plan",
       {"list-runs", "repo", "--plan", "a/b"},
       {},
       "invalid_plan_id",
       "validation",
       "--plan contains an invalid plan ID",
       kPlanRemediation,
       2,
       {{"option", "--plan"}}},
      {"list-runs with an empty plan",
       {"list-runs", "repo", "--plan", ""},
       {},
       "invalid_plan_id",
       "validation",
       "--plan contains an invalid plan ID",
       kPlanRemediation,
       2,
       {{"option", "--plan"}}},
      {"list-runs with an extra positional",
       {"list-runs", "repo", "--plan", "p", "extra"},
       {},
       "unexpected_argument",
       "usage",
       "Unexpected argument: extra",
       kUnexpectedRemediation,
       2,
       {{"argument", "extra"}}},
      {"list-runs with --run",
       {"list-runs", "repo", "--run", "1"},
       {},
       "unknown_option",
       "usage",
       "Unknown option for list-runs: --run",
       "Run `tvr list-runs --help` for supported options.",
       2,
       {{"command", "list-runs"}, {"option", "--run"}}},
      {"option joined with =",
       {"list-runs", "repo", "--plan=p"},
       {},
       "unknown_option",
       "usage",
       "Unknown option for list-runs: --plan=p",
       "Run `tvr list-runs --help` for supported options.",
       2,
       {{"command", "list-runs"}, {"option", "--plan=p"}}},
      {"duplicate option",
       {"list-runs", "repo", "--plan", "a", "--plan", "a"},
       {},
       "duplicate_option",
       "usage",
       "Duplicate option for list-runs: --plan",
       "Pass each single-value option only once.",
       2,
       {{"command", "list-runs"}, {"option", "--plan"}}},
      {"option without a value at the end",
       {"list-runs", "repo", "--plan"},
       {},
       "missing_option_value",
       "usage",
       "Missing value for --plan",
       "Pass a value after --plan.",
       2,
       {{"option", "--plan"}}},
      {"global option removed from between command options",
       {"list-runs", "repo", "--plan", "--quiet"},
       {},
       "missing_option_value",
       "usage",
       "Missing value for --plan",
       "Pass a value after --plan.",
       2,
       {{"option", "--plan"}}},
      {"verify with an unknown option",
       {"verify", "repo", "--plan", "p"},
       {},
       "unknown_option",
       "usage",
       "Unknown option for verify: --plan",
       "Run `tvr verify --help` for supported options.",
       2,
       {{"command", "verify"}, {"option", "--plan"}}},
      {"list with an unknown option",
       {"list", "repo", "--bogus"},
       {},
       "unknown_option",
       "usage",
       "Unknown option for list: --bogus",
       "Run `tvr list --help` for supported options.",
       2,
       {{"command", "list"}, {"option", "--bogus"}}},
      {"flag followed by a value",
       {"restore", "repo", "--dry-run", "true"},
       {},
       "unexpected_flag_value",
       "usage",
       "--dry-run does not take a value",
       "Remove the value after --dry-run.",
       2,
       {{"option", "--dry-run"}}},
      {"--overwrite followed by a flag",
       {"restore", "repo", "--overwrite", "--dry-run"},
       {},
       "missing_option_value",
       "usage",
       "Missing value for --overwrite",
       "Pass a value after --overwrite.",
       2,
       {{"option", "--overwrite"}}},
      {"--overwrite last",
       {"export", "repo", "--overwrite"},
       {},
       "missing_option_value",
       "usage",
       "Missing value for --overwrite",
       "Pass a value after --overwrite.",
       2,
       {{"option", "--overwrite"}}},
      {"flag given twice",
       {"restore", "repo", "--dry-run", "--dry-run"},
       {},
       "duplicate_option",
       "usage",
       "Duplicate option for restore: --dry-run",
       "Pass each single-value option only once.",
       2,
       {{"command", "restore"}, {"option", "--dry-run"}}},
  };
  for (const ErrorCase& c : cases) checkErrorCase(c);
}

TEST(BackupCLITest, BrowseAndRecoveryValueErrors) {
  const std::vector<std::string> list = {"list", "repo", "--plan", "p", "--run", "8"};
  auto with = [](std::vector<std::string> base, std::vector<std::string> extra) {
    base.insert(base.end(), extra.begin(), extra.end());
    return base;
  };
  const std::vector<std::string> search = {"search", "repo", "--plan", "p", "--run", "8", "--name", "x"};
  const std::string absoluteRemediation = "Use the normalized path printed by `tvr list` or `tvr search`.";
  const std::string unsafeRemediation =
      "Use the normalized repository path exactly as printed by `tvr list` or `tvr search`.";
  const ErrorCase cases[] = {
      {"list without --run",
       {"list", "repo", "--plan", "p"},
       {},
       "missing_required_option",
       "usage",
       "Missing --run",
       "Pass the required option --run.",
       2,
       {{"option", "--run"}}},
      {"plan checked before run",
       {"list", "repo", "--plan", "bad plan", "--run", "x"},
       {},
       "invalid_plan_id",
       "validation",
       "--plan contains an invalid plan ID",
       kPlanRemediation,
       2,
       {{"option", "--plan"}}},
      {"run 8x",
       {"list", "repo", "--plan", "p", "--run", "8x"},
       {},
       "invalid_integer",
       "validation",
       "--run must be an integer",
       "Pass a numeric run ID from `tvr list-runs`.",
       2,
       {{"option", "--run"}}},
      {"run overflowing 64 bits",
       {"list", "repo", "--plan", "p", "--run", "9223372036854775808"},
       {},
       "invalid_integer",
       "validation",
       "--run must be an integer",
       "Pass a numeric run ID from `tvr list-runs`.",
       2,
       {{"option", "--run"}}},
      {"run 0",
       {"list", "repo", "--plan", "p", "--run", "0"},
       {},
       "invalid_run_id",
       "validation",
       "--run must be greater than 0",
       "Pass a positive run ID from `tvr list-runs`.",
       2,
       {{"option", "--run"}}},
      {"run -3",
       {"list", "repo", "--plan", "p", "--run", "-3"},
       {},
       "invalid_run_id",
       "validation",
       "--run must be greater than 0",
       "Pass a positive run ID from `tvr list-runs`.",
       2,
       {{"option", "--run"}}},
      {"--path empty",
       with(list, {"--path", ""}),
       {},
       "empty_repository_path",
       "validation",
       "--path must not be empty",
       "Pass a normalized repository-relative path.",
       2,
       {{"option", "--path"}}},
      {"--path absolute",
       with(list, {"--path", "/etc/passwd"}),
       {},
       "absolute_repository_path",
       "validation",
       "--path must be repository-relative, not absolute",
       absoluteRemediation,
       2,
       {{"option", "--path"}}},
      {"--path with ..",
       with(list, {"--path", "a/../b"}),
       {},
       "unsafe_repository_path",
       "validation",
       "--path must not contain . or .. path components",
       unsafeRemediation,
       2,
       {{"option", "--path"}}},
      {"--path with .",
       with(list, {"--path", "./a"}),
       {},
       "unsafe_repository_path",
       "validation",
       "--path must not contain . or .. path components",
       unsafeRemediation,
       2,
       {{"option", "--path"}}},
      {"--path with a control character",
       with(list, {"--path", "a\tb"}),
       {},
       "control_character_in_input",
       "validation",
       "--path must not contain control characters",
       "Remove control characters and retry.",
       2,
       {{"option", "--path"}}},
      {"search without --name",
       {"search", "repo", "--plan", "p", "--run", "8"},
       {},
       "missing_required_option",
       "usage",
       "Missing --name",
       "Pass the required option --name.",
       2,
       {{"option", "--name"}}},
      {"search --limit ten",
       with(search, {"--limit", "ten"}),
       {},
       "invalid_integer",
       "validation",
       "--limit must be an integer",
       "Pass an integer value.",
       2,
       {{"option", "--limit"}, {"value", "ten"}}},
      {"two search modes",
       with(search, {"--exact", "--prefix"}),
       {},
       "multiple_search_modes",
       "usage",
       "Use only one search mode: --exact, --prefix, or --contains",
       "Choose one search mode flag.",
       2,
       {}},
      {"three search modes",
       with(search, {"--contains", "--prefix", "--exact"}),
       {},
       "multiple_search_modes",
       "usage",
       "Use only one search mode: --exact, --prefix, or --contains",
       "Choose one search mode flag.",
       2,
       {}},
      {"restore --overwrite maybe",
       {"restore", "repo", "--overwrite", "Maybe"},
       {},
       "invalid_boolean",
       "validation",
       "--overwrite must be true or false",
       "Use true, false, yes, no, 1, or 0.",
       2,
       {{"option", "--overwrite"}, {"value", "Maybe"}}},
      {"restore dry run without --path",
       {"restore", "repo", "--plan", "p", "--run", "1", "--dry-run"},
       {},
       "missing_required_option",
       "usage",
       "Missing --path",
       "Pass the required option --path.",
       2,
       {{"option", "--path"}}},
      {"restore dry run without --to",
       {"restore", "repo", "--plan", "p", "--run", "1", "--path", "a", "--dry-run"},
       {},
       "missing_required_option",
       "usage",
       "Missing --to",
       "Pass the required option --to.",
       2,
       {{"option", "--to"}}},
      {"restore with an empty --to",
       {"restore", "repo", "--plan", "p", "--run", "1", "--path", "a", "--to", ""},
       {},
       "empty_path",
       "validation",
       "--to path must not be empty",
       "Pass a non-empty filesystem path.",
       2,
       {{"option", "--to"}}},
      {"export dry run without --to",
       {"export", "repo", "--plan", "p", "--run", "1", "--dry-run"},
       {},
       "missing_required_option",
       "usage",
       "Missing --to",
       "Pass the required option --to.",
       2,
       {{"option", "--to"}}},
  };
  for (const ErrorCase& c : cases) checkErrorCase(c);
}

TEST(BackupCLITest, HydrateErrors) {
  TempDir temporary;
  const std::string free = (temporary.path() / "free").string();
  // Dry runs validate every S3 setting; a real run in JSON is refused before that.
  const std::vector<std::string> s3 = {"hydrate-s3",      free, "--bucket", "b", "--region", "auto",
                                       "--access-key-id", "k",  "--dry-run"};
  auto with = [](std::vector<std::string> base, std::vector<std::string> extra) {
    base.insert(base.end(), extra.begin(), extra.end());
    return base;
  };
  const Environment secret = {{"AWS_SECRET_ACCESS_KEY", kSecret}};
  const std::string endpointRemediation = "Pass an endpoint such as https://account-id.r2.cloudflarestorage.com.";
  const ErrorCase cases[] = {
      {"hydrate-local without a source",
       {"hydrate-local"},
       {},
       "missing_path",
       "usage",
       "Missing source repository object root path",
       "Pass the required path argument.",
       2,
       {{"name", "source repository object root"}}},
      {"hydrate-local with an empty source",
       {"hydrate-local", ""},
       {},
       "empty_path",
       "validation",
       "source repository object root path must not be empty",
       "Pass a non-empty filesystem path.",
       2,
       {{"option", "source repository object root"}}},
      {"hydrate-local without --to",
       {"hydrate-local", "src"},
       {},
       "missing_required_option",
       "usage",
       "Missing --to",
       "Pass the required option --to.",
       2,
       {{"option", "--to"}}},
      {"hydrate-local with --plan",
       {"hydrate-local", "src", "--plan", "p"},
       {},
       "unknown_option",
       "usage",
       "Unknown option for hydrate-local: --plan",
       "Run `tvr hydrate-local --help` for supported options.",
       2,
       {{"command", "hydrate-local"}, {"option", "--plan"}}},
      {"hydrate-local --overwrite checked first",
       {"hydrate-local", "src", "--overwrite", "sure"},
       {},
       "invalid_boolean",
       "validation",
       "--overwrite must be true or false",
       "Use true, false, yes, no, 1, or 0.",
       2,
       {{"option", "--overwrite"}, {"value", "sure"}}},
      {"hydrate-local real run with JSON",
       {"hydrate-local", "src", "--to", free, "--json"},
       {},
       "unsupported_output_format",
       "usage",
       "Output format json is not supported for hydrate-local yet. Use --output text.",
       "Use --output text for write commands unless --dry-run is supplied.",
       2,
       {{"command", "hydrate-local"}, {"format", "json"}}},
      {"hydrate-s3 without a destination",
       {"hydrate-s3"},
       {},
       "missing_repository_path",
       "usage",
       "Missing repository path",
       "Pass the repository path after the command name.",
       2,
       {}},
      {"endpoint empty",
       with(s3, {"--endpoint", ""}),
       secret,
       "empty_option_value",
       "validation",
       "--endpoint must not be empty",
       "Pass a non-empty value for --endpoint.",
       2,
       {{"option", "--endpoint"}}},
      {"endpoint ftp",
       with(s3, {"--endpoint", "ftp://s3.example.com"}),
       secret,
       "invalid_endpoint",
       "validation",
       "--endpoint must be an http or https URL",
       endpointRemediation,
       2,
       {{"option", "--endpoint"}}},
      {"endpoint without host",
       with(s3, {"--endpoint", "https:///bucket"}),
       secret,
       "invalid_endpoint",
       "validation",
       "--endpoint must be an http or https URL",
       endpointRemediation,
       2,
       {{"option", "--endpoint"}}},
      {"endpoint with credentials",
       with(s3, {"--endpoint", "https://user:pw@s3.example.com"}),
       secret,
       "endpoint_credentials_not_allowed",
       "validation",
       "--endpoint must not contain embedded credentials",
       "Pass access keys with --access-key-id and AWS_SECRET_ACCESS_KEY or --secret-access-key.",
       2,
       {{"option", "--endpoint"}}},
      {"endpoint with a control character",
       with(s3, {"--endpoint", "https://s3.example.com\n"}),
       secret,
       "control_character_in_input",
       "validation",
       "--endpoint must not contain control characters",
       "Remove control characters and retry.",
       2,
       {{"option", "--endpoint"}}},
      {"no secret anywhere",
       s3,
       {{"PATH", "/bin"}},
       "missing_s3_secret_access_key",
       "authentication",
       "Missing --secret-access-key or AWS_SECRET_ACCESS_KEY",
       "Set AWS_SECRET_ACCESS_KEY or pass --secret-access-key.",
       6,
       {}},
      {"empty secret variable",
       s3,
       {{"AWS_SECRET_ACCESS_KEY", ""}},
       "missing_s3_secret_access_key",
       "authentication",
       "Missing --secret-access-key or AWS_SECRET_ACCESS_KEY",
       "Set AWS_SECRET_ACCESS_KEY or pass --secret-access-key.",
       6,
       {}},
      {"secret checked before the bucket",
       {"hydrate-s3", free, "--dry-run"},
       {},
       "missing_s3_secret_access_key",
       "authentication",
       "Missing --secret-access-key or AWS_SECRET_ACCESS_KEY",
       "Set AWS_SECRET_ACCESS_KEY or pass --secret-access-key.",
       6,
       {}},
      {"empty --secret-access-key",
       with(s3, {"--secret-access-key", ""}),
       secret,
       "empty_option_value",
       "validation",
       "--secret-access-key must not be empty",
       "Pass a non-empty value for --secret-access-key.",
       2,
       {{"option", "--secret-access-key"}}},
      {"missing bucket",
       {"hydrate-s3", free, "--region", "auto", "--access-key-id", "k", "--dry-run"},
       secret,
       "missing_required_option",
       "usage",
       "Missing --bucket",
       "Pass the required option --bucket.",
       2,
       {{"option", "--bucket"}}},
      {"empty region",
       {"hydrate-s3", free, "--bucket", "b", "--region", "", "--access-key-id", "k", "--dry-run"},
       secret,
       "empty_option_value",
       "validation",
       "--region must not be empty",
       "Pass a non-empty value for --region.",
       2,
       {{"option", "--region"}}},
      {"missing access key",
       {"hydrate-s3", free, "--bucket", "b", "--region", "auto", "--dry-run"},
       secret,
       "missing_required_option",
       "usage",
       "Missing --access-key-id",
       "Pass the required option --access-key-id.",
       2,
       {{"option", "--access-key-id"}}},
      {"empty session token",
       with(s3, {"--session-token", ""}),
       secret,
       "empty_option_value",
       "validation",
       "--session-token must not be empty",
       "Pass a non-empty value for --session-token.",
       2,
       {{"option", "--session-token"}}},
      {"secret from the option never shown",
       with(s3, {"--secret-access-key", kSecret, "--path-style", "perhaps"}),
       {},
       "invalid_boolean",
       "validation",
       "--path-style must be true or false",
       "Use true, false, yes, no, 1, or 0.",
       2,
       {{"option", "--path-style"}, {"value", "perhaps"}}},
      {"hydrate-s3 real run with JSON",
       {"hydrate-s3", free, "--json"},
       {},
       "unsupported_output_format",
       "usage",
       "Output format json is not supported for hydrate-s3 yet. Use --output text.",
       "Use --output text for write commands unless --dry-run is supplied.",
       2,
       {{"command", "hydrate-s3"}, {"format", "json"}}},
  };
  for (const ErrorCase& c : cases) {
    if (c.code == "unsupported_output_format") {
      // Only reachable with JSON selected; the text run of the same line would start the hydration.
      SCOPED_TRACE(c.name);
      Outcome json = runCLI(c.args, c.environment);
      nlohmann::json envelope = nlohmann::json::parse(json.err);
      EXPECT_EQ(envelope["code"], c.code);
      EXPECT_EQ(envelope["message"], c.message);
      EXPECT_EQ(envelope["details"], nlohmann::json(c.details));
      EXPECT_EQ(json.status, 2);
      continue;
    }
    checkErrorCase(c);
  }
}

// Write paths that refuse a destination, or JSON for a real write, before any engine work.
TEST(BackupCLITest, DestinationRefusalsAndJsonForRealWrites) {
  TempDir temporary;
  const std::string file = temporary.write("existing.txt").string();
  const std::string emptyDirectory = temporary.makeDirectory("empty").string();
  const std::string hidden = temporary.makeDirectory("hidden").string();
  temporary.write("hidden/.DS_Store");
  const std::string full = temporary.makeDirectory("full").string();
  temporary.write("full/a/b.txt");
  const std::string free = (temporary.path() / "free").string();

  auto restore = [](const std::string& to, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"restore", "repo", "--plan", "p", "--run", "8", "--path", "a/b.txt", "--to", to};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  auto exportTo = [](const std::string& to, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"export", "repo", "--plan", "p", "--run", "8", "--to", to};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };

  // A refusal in JSON is a confirmation envelope: no code, category or details members.
  Outcome refused = runCLI(restore(emptyDirectory, {"--json"}));
  EXPECT_EQ(refused.status, 3);
  EXPECT_EQ(refused.out, "");
  std::string escaped = canonical(nlohmann::json(emptyDirectory));
  EXPECT_EQ(
      refused.err,
      R"({"changes":[{"operation":"restore","path":)" + escaped +
          R"(,"risk":"overwrite"}],"confirmCommand":"--overwrite true","exitCode":3,"message":"Refusing to overwrite existing destination: )" +
          escaped.substr(1, escaped.size() - 2) +
          R"(. Pass --overwrite true to replace it.","reason":"destination_exists","remediation":"Rerun with --overwrite true only if replacing the destination is intended.","risk":"overwrite","schemaVersion":1,"type":"confirmation_required"})"
          "\n");
  EXPECT_NE(escaped.find("\\/"), std::string::npos);

  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string err;  // text mode, or the JSON envelope's message
    int status;
    std::string reason;
  };
  const Case cases[] = {
      {"restore refuses a file", restore(file, {"--json"}),
       "Refusing to overwrite existing destination: " + file + ". Pass --overwrite true to replace it.", 3,
       "destination_exists"},
      {"restore --overwrite false is no overwrite", restore(file, {"--json", "--overwrite", "false"}),
       "Refusing to overwrite existing destination: " + file + ". Pass --overwrite true to replace it.", 3,
       "destination_exists"},
      {"restore --overwrite YES skips the check", restore(file, {"--json", "--overwrite", "YES"}),
       "Output format json is not supported for restore yet. Use --output text.", 2, ""},
      {"restore to a free destination", restore(free, {"--json"}),
       "Output format json is not supported for restore yet. Use --output text.", 2, ""},
      {"export refuses a file", exportTo(file, {"--json"}),
       "Refusing to export into existing file: " + file + ". Pass --overwrite true to replace matching files.", 3,
       "destination_file_exists"},
      {"export refuses a directory with only a hidden file", exportTo(hidden, {"--json"}),
       "Refusing to export into non-empty destination: " + hidden +
           ". Pass --overwrite true to replace matching files.",
       3, "destination_not_empty"},
      {"export refuses a non-empty directory", exportTo(full, {"--json"}),
       "Refusing to export into non-empty destination: " + full + ". Pass --overwrite true to replace matching files.",
       3, "destination_not_empty"},
      {"export accepts an empty directory", exportTo(emptyDirectory, {"--json"}),
       "Output format json is not supported for export yet. Use --output text.", 2, ""},
      {"export --overwrite 1", exportTo(full, {"--json", "--overwrite", "1"}),
       "Output format json is not supported for export yet. Use --output text.", 2, ""},
      {"hydrate-local refuses a file",
       {"hydrate-local", "src", "--to", file},
       "Refusing to hydrate into existing file: " + file + ". Pass --overwrite true to replace it.",
       3,
       "destination_file_exists"},
      {"hydrate-local dry run refuses a non-empty directory",
       {"hydrate-local", "src", "--to", full, "--dry-run"},
       "Refusing to hydrate into non-empty destination: " + full +
           ". Pass --overwrite true to replace matching objects.",
       3,
       "destination_not_empty"},
      {"hydrate-s3 refusal comes before the missing secret",
       {"hydrate-s3", hidden, "--dry-run"},
       "Refusing to hydrate into non-empty destination: " + hidden +
           ". Pass --overwrite true to replace matching objects.",
       3,
       "destination_not_empty"},
      {"hydrate-s3 accepts an empty directory",
       {"hydrate-s3", emptyDirectory, "--dry-run"},
       "Missing --secret-access-key or AWS_SECRET_ACCESS_KEY",
       6,
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome outcome = runCLI(c.args);
    EXPECT_EQ(outcome.status, c.status);
    bool json = std::find(c.args.begin(), c.args.end(), "--json") != c.args.end();
    if (!json) {
      EXPECT_EQ(outcome.err, c.err + "\n");
      // The same refusal as JSON carries the five confirmation keys.
      std::vector<std::string> jsonArgs = c.args;
      jsonArgs.push_back("--json");
      outcome = runCLI(jsonArgs);
    }
    nlohmann::json envelope = nlohmann::json::parse(outcome.err);
    EXPECT_EQ(envelope["message"], c.err);
    if (c.status == 3) {
      EXPECT_EQ(envelope["type"], "confirmation_required");
      EXPECT_EQ(envelope["reason"], c.reason);
      EXPECT_EQ(envelope["confirmCommand"], "--overwrite true");
      EXPECT_EQ(envelope["changes"][0]["operation"], c.args[0]);
      EXPECT_EQ(envelope["changes"][0]["risk"], envelope["risk"]);
      EXPECT_FALSE(envelope.contains("code"));
      EXPECT_FALSE(envelope.contains("details"));
    }
  }
  EXPECT_TRUE(std::filesystem::is_empty(emptyDirectory)) << "nothing is written on refusal";
  EXPECT_FALSE(std::filesystem::exists(free));
}

TEST(BackupCLITest, RunNeverThrowsWhenTheOutputSinkFails) {
  BackupCLI cli({});
  std::string err;
  int status = cli.run(
      {"commands"}, [](const std::string&) -> void { throw std::runtime_error("Output stream closed."); },
      [&](const std::string& line) { err += line + "\n"; });
  EXPECT_EQ(status, 1);
  EXPECT_EQ(err, "Output stream closed.\n");

  status = cli.run(
      {"describe"}, [](const std::string&) {}, [](const std::string&) -> void { throw 42; });
  EXPECT_EQ(status, 2);
}

}  // namespace
}  // namespace tvr::cli
