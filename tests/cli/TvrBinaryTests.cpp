// Black-box tests of the `tvr` executable: exit status, stream separation and the
// environment captured by the process entry.

#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "tests/cli/CLITestSupport.h"

namespace tvr::cli {
namespace {

using test::golden;
using test::readText;
using test::TempDir;

struct ProcessResult {
  std::string out;
  std::string err;
  int status = -1;
};

// Runs `env -i <environment> tvr <arguments>` (arguments are plain words here).
ProcessResult runTvr(const std::string& environment, const std::string& arguments) {
  TempDir temporary;
  std::filesystem::path out = temporary.path() / "out";
  std::filesystem::path err = temporary.path() / "err";
  std::string command = "env -i " + environment + " '" + std::string(TVR_CLI_BINARY) + "' " + arguments + " >'" +
                        out.string() + "' 2>'" + err.string() + "'";
  int raw = std::system(command.c_str());
  ProcessResult result;
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  result.out = readText(out);
  result.err = readText(err);
  return result;
}

TEST(TvrBinaryTest, ManualHelpAndVersionGoToStandardOutput) {
  ProcessResult manual = runTvr("", "");
  EXPECT_EQ(manual.status, 0);
  EXPECT_EQ(manual.out, golden("manual.txt"));
  EXPECT_EQ(manual.err, "");

  ProcessResult version = runTvr("", "--quiet --version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "tvr 2026.3 (8)\n");
}

TEST(TvrBinaryTest, ErrorsGoToStandardErrorWithTheirExitStatus) {
  ProcessResult usage = runTvr("", "list /repo --plan p --run 1 --bogus --json");
  EXPECT_EQ(usage.status, 2);
  EXPECT_EQ(usage.out, "");
  EXPECT_EQ(
      usage.err,
      R"({"category":"usage","code":"unknown_option","details":{"command":"list","option":"--bogus"},"exitCode":2,)"
      R"("message":"Unknown option for list: --bogus","remediation":"Run `tvr list --help` for supported options.",)"
      R"("schemaVersion":1,"type":"error"})"
      "\n");

  ProcessResult text = runTvr("", "list /repo --plan p --run 1 --bogus");
  EXPECT_EQ(text.status, 2);
  EXPECT_EQ(text.err, "Unknown option for list: --bogus\n");

  ProcessResult secret = runTvr("", "hydrate-s3 /nonexistent/destination --bucket b --region r --access-key-id k");
  EXPECT_EQ(secret.status, 6);

  ProcessResult notRepository = runTvr("", "info /nonexistent/repository");
  EXPECT_EQ(notRepository.status, 4);
  EXPECT_EQ(notRepository.out, "");
  EXPECT_EQ(notRepository.err, "Repository is missing repo.json\n");
}

TEST(TvrBinaryTest, ColourComesFromTheProcessEnvironment) {
  const std::string first = "commands\tdiscovery";
  ProcessResult plain = runTvr("TERM=dumb", "commands");
  EXPECT_EQ(plain.out.substr(0, first.size()), first);
  ProcessResult forced = runTvr("TERM=dumb CLICOLOR_FORCE=1", "commands");
  const std::string coloured = "\x1b[36mcommands\x1b[0m\tdiscovery";
  EXPECT_EQ(forced.out.substr(0, coloured.size()), coloured);
  ProcessResult noColor = runTvr("NO_COLOR= CLICOLOR_FORCE=1", "commands");
  EXPECT_EQ(noColor.out.substr(0, first.size()), first);
  ProcessResult secretFromEnvironment =
      runTvr("AWS_SECRET_ACCESS_KEY=abc",
             "hydrate-s3 /nonexistent/destination --bucket b --region r --access-key-id k --dry-run");
  EXPECT_EQ(secretFromEnvironment.status, 0) << "the secret was found: " << secretFromEnvironment.err;
}

}  // namespace
}  // namespace tvr::cli
