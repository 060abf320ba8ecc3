// The recovery password sources as a command sees them: `list` on the sample repository with
// each source, the errors of each, and no password text in any output.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "BackupCLI/BackupCLI.h"
#include "engine/metadata/RepositoryLayout.h"
#include "engine/metadata/RepositoryMetadata.h"
#include "tests/cli/CLITestSupport.h"
#include "tests/support/RepositoryBuilder.h"
#include "tests/support/TempDir.h"

namespace tvr::cli {
namespace {

using test::Outcome;
using test::readText;
using test::runCLI;
namespace fs = std::filesystem;

const fs::path kSample = fs::path(TVR_FIXTURES_DIR) / "sample-repository";
const std::string kPassword = "river stone lantern 42";
const std::string kWrongPasswordMessage = "Recovery password does not unlock this repository";
const std::string kWrongPassword = "river stone lantern 43";
const std::string kListing = "directory\tletters\ndirectory\tphotos\nfile\tempty\nfile\told.txt\n";

std::vector<std::string> listArgs(const fs::path& repository, std::vector<std::string> sources) {
  std::vector<std::string> args = {"list", repository.string(), "--plan", "family-archive", "--run", "1"};
  args.insert(args.end(), sources.begin(), sources.end());
  return args;
}

void expectNoSecret(const Outcome& outcome) {
  for (const std::string& secret : {kPassword, kWrongPassword, std::string("river stone")}) {
    EXPECT_EQ(outcome.out.find(secret), std::string::npos);
    EXPECT_EQ(outcome.err.find(secret), std::string::npos);
  }
}

TEST(RecoveryPasswordSources, EachSourceUnlocksAndEachFailureHasItsCode) {
  test::TempDir files;
  auto passwordFile = [&](const std::string& name, const std::string& contents) {
    return files.write(name, contents).string();
  };
  const Environment environment = {{"TVR_PASSWORD", kPassword}, {"TVR_EMPTY", ""}, {"TVR_WRONG", kWrongPassword}};

  struct Case {
    const char* name;
    std::vector<std::string> sources;
    int status;
    std::string code;     // empty: success with the listing
    std::string message;  // for errors
    std::map<std::string, std::string> details;
  } cases[] = {
      {"the sample's own file (trailing line feed)",
       {"--recovery-password-file", (fs::path(TVR_FIXTURES_DIR) / "sample-repository.password").string()},
       0,
       ""},
      {"a file ending in CR LF", {"--recovery-password-file", passwordFile("crlf", kPassword + "\r\n")}, 0, ""},
      {"a file ending in several line ends",
       {"--recovery-password-file", passwordFile("many", kPassword + "\n\r\n\n")},
       0,
       ""},
      {"a file ending in a lone CR", {"--recovery-password-file", passwordFile("cr", kPassword + "\r")}, 0, ""},
      {"a file without line end", {"--recovery-password-file", passwordFile("bare", kPassword)}, 0, ""},
      {"the option itself", {"--recovery-password", kPassword}, 0, ""},
      {"an environment variable", {"--recovery-password-env", "TVR_PASSWORD"}, 0, ""},
      {"no source",
       {},
       6,
       "recovery_material_required",
       "Encrypted repository requires --recovery-password, --recovery-password-file, or --recovery-password-env"},
      {"two sources, listed in source order",
       {"--recovery-password-env", "TVR_PASSWORD", "--recovery-password", kPassword},
       2,
       "multiple_recovery_password_sources",
       "Use only one recovery password source: --recovery-password, --recovery-password-env"},
      {"three sources",
       {"--recovery-password-file", "/nonexistent", "--recovery-password-env", "TVR_PASSWORD", "--recovery-password",
        kPassword},
       2,
       "multiple_recovery_password_sources",
       "Use only one recovery password source: --recovery-password, --recovery-password-file, "
       "--recovery-password-env"},
      {"unset variable",
       {"--recovery-password-env", "TVR_UNSET"},
       6,
       "missing_recovery_password_environment",
       "Environment variable TVR_UNSET is not set",
       {{"variable", "TVR_UNSET"}}},
      {"empty variable",
       {"--recovery-password-env", "TVR_EMPTY"},
       6,
       "missing_recovery_password_environment",
       "Environment variable TVR_EMPTY is not set",
       {{"variable", "TVR_EMPTY"}}},
      {"an assignment instead of a name",
       {"--recovery-password-env", "TVR_PASSWORD=" + kPassword},
       2,
       "invalid_environment_variable_name",
       "--recovery-password-env must name a non-empty environment variable",
       {{"option", "--recovery-password-env"}}},
      {"wrong password",
       {"--recovery-password-env", "TVR_WRONG"},
       6,
       "invalid_recovery_password",
       kWrongPasswordMessage},
      {"a trailing space is part of the password",
       {"--recovery-password-file", passwordFile("space", kPassword + " \n")},
       6,
       "invalid_recovery_password",
       kWrongPasswordMessage},
      {"a byte-order mark is part of the password",
       {"--recovery-password-file", passwordFile("bom", "\xEF\xBB\xBF" + kPassword + "\n")},
       6,
       "invalid_recovery_password",
       kWrongPasswordMessage},
      {"an empty file is the empty password",
       {"--recovery-password-file", passwordFile("empty", "")},
       6,
       "invalid_recovery_password",
       kWrongPasswordMessage},
      {"a file beyond 64 KiB",
       {"--recovery-password-file", passwordFile("large", std::string(65537, 'p'))},
       2,
       "recovery_password_file_too_large",
       "Recovery password file is larger than 64 KiB: " + (files.path() / "large").string(),
       {{"option", "--recovery-password-file"}, {"path", (files.path() / "large").string()}}},
      {"a file of exactly 64 KiB is read",
       {"--recovery-password-file", passwordFile("limit", std::string(65536, 'p'))},
       6,
       "invalid_recovery_password",
       kWrongPasswordMessage},
      {"a missing file", {"--recovery-password-file", (files.path() / "absent").string()}, 1, "internal_error", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome text = runCLI(listArgs(kSample, c.sources), environment);
    expectNoSecret(text);
    EXPECT_EQ(text.status, c.status);
    if (c.code.empty()) {
      EXPECT_EQ(text.err, "");
      EXPECT_EQ(text.out, kListing);
      continue;
    }
    EXPECT_EQ(text.out, "");
    if (!c.message.empty()) {
      EXPECT_EQ(text.err, c.message + "\n");
    }

    std::vector<std::string> jsonArgs = listArgs(kSample, c.sources);
    jsonArgs.push_back("--json");
    Outcome json = runCLI(jsonArgs, environment);
    expectNoSecret(json);
    nlohmann::json envelope = nlohmann::json::parse(json.err);
    EXPECT_EQ(envelope["code"], c.code);
    EXPECT_EQ(envelope["exitCode"], c.status);
    nlohmann::json details = nlohmann::json::object();
    for (const auto& [key, value] : c.details) details[key] = value;
    EXPECT_EQ(envelope["details"], details);
  }
}

TEST(RecoveryPasswordSources, RepositoryWithoutARecoveryWrappedKey) {
  test::TempDir temp;
  fs::path repository = temp.path() / "repository";
  fs::copy(kSample, repository, fs::copy_options::recursive);
  fs::permissions(repository / "repo.json", fs::perms::owner_write, fs::perm_options::add);
  nlohmann::json document = nlohmann::json::parse(readText(repository / "repo.json"));
  ASSERT_TRUE(document["encryption"].contains("recoveryWrappedKey"));
  document["encryption"].erase("recoveryWrappedKey");
  std::ofstream(repository / "repo.json", std::ios::trunc) << document.dump();

  Outcome outcome = runCLI(listArgs(repository, {"--recovery-password", kPassword, "--json"}));
  expectNoSecret(outcome);
  EXPECT_EQ(outcome.status, 6);
  nlohmann::json envelope = nlohmann::json::parse(outcome.err);
  EXPECT_EQ(envelope["code"], "recovery_material_unavailable");
  EXPECT_EQ(envelope["category"], "authentication");
  EXPECT_EQ(envelope["message"], "Repository does not contain recovery key material");

  // Without any source the repository still asks for one first.
  EXPECT_EQ(runCLI(listArgs(repository, {})).status, 6);
}

TEST(RecoveryPasswordSources, UnencryptedRepositoryNeverLooksAtThePasswordOptions) {
  test::TempDir temp;
  test::writeUnencryptedRepositoryDocument(temp.path());

  // Two sources and a malformed variable name would each be exit 2; here the engine's read
  // gate speaks instead.
  Outcome outcome =
      runCLI(listArgs(temp.path(), {"--recovery-password-env", "A=B", "--recovery-password", kPassword, "--json"}));
  expectNoSecret(outcome);
  EXPECT_EQ(outcome.status, 1);
  nlohmann::json envelope = nlohmann::json::parse(outcome.err);
  EXPECT_EQ(envelope["code"], "internal_error");
  EXPECT_EQ(envelope["message"], "Unencrypted development repositories are not supported.");
}

}  // namespace
}  // namespace tvr::cli
