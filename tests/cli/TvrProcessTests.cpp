// Black-box tests of the `tvr` executable on a bad day: terminals and pipes, hostile names,
// wrong passwords, typos, devices as destinations, signals, progress and --verbose. Each
// runs the real binary (on a pseudo-terminal where a terminal matters) against the sample
// repository or a repository built for the case.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "BackupCLI/Progress.h"
#include "platform/Unicode.h"
#include "tests/cli/CLITestSupport.h"
#include "tests/support/RepositoryBuilder.h"

namespace tvr::cli {
namespace {

namespace fs = std::filesystem;
using test::readText;
using test::TempDir;

const fs::path kSample = fs::path(TVR_FIXTURES_DIR) / "sample-repository";
const std::string kSamplePasswordFile = (fs::path(TVR_FIXTURES_DIR) / "sample-repository.password").string();
const std::string kPassword = test::kTestRecoveryPassword;

// Where the child's standard output and standard error go.
struct Streams {
  bool outputTerminal = false;
  bool errorTerminal = false;
  std::string outputFile;           // instead of a captured file (for /dev/full)
  std::vector<int> ignoredSignals;  // set to SIG_IGN before the exec, as nohup does
};

struct Result {
  std::string out;
  std::string err;
  std::string terminal;  // what the child wrote to the pseudo-terminal
  int status = -1;       // exit status, -1 when killed by a signal
};

// A started `tvr` whose streams go to files (or a pseudo-terminal).
class Child {
 public:
  Child(const std::vector<std::string>& arguments, const std::vector<std::string>& environment, Streams streams = {})
      : streams_(std::move(streams)) {
    outPath_ = temporary_.path() / "out";
    errPath_ = temporary_.path() / "err";
    int master = -1, slave = -1;
    if (streams_.outputTerminal || streams_.errorTerminal) {
      if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    }
    std::string outTarget = streams_.outputFile.empty() ? outPath_.string() : streams_.outputFile;
    pid_ = ::fork();
    if (pid_ == 0) {
      int out = streams_.outputTerminal ? slave : ::open(outTarget.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int err = streams_.errorTerminal ? slave : ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int in = ::open("/dev/null", O_RDONLY);
      ::dup2(in, 0);
      ::dup2(out, 1);
      ::dup2(err, 2);
      if (master >= 0) ::close(master);
      for (int signal : streams_.ignoredSignals) ::signal(signal, SIG_IGN);
      std::vector<char*> argv = {const_cast<char*>(TVR_CLI_BINARY)};
      for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
      argv.push_back(nullptr);
      std::vector<char*> envp;
      for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
      envp.push_back(nullptr);
      ::execve(TVR_CLI_BINARY, argv.data(), envp.data());
      ::_exit(127);
    }
    if (slave >= 0) ::close(slave);
    master_ = master;
  }

  pid_t pid() const { return pid_; }

  Result wait() {
    Result result;
    if (master_ >= 0) {
      char buffer[4096];
      for (;;) {
        ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n > 0) {
          result.terminal.append(buffer, static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
          continue;
        } else {
          break;  // EIO once the child closed its last copy of the terminal
        }
      }
      ::close(master_);
    }
    int raw = 0;
    ::waitpid(pid_, &raw, 0);
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    if (streams_.outputFile.empty() && !streams_.outputTerminal) result.out = readText(outPath_);
    if (!streams_.errorTerminal) result.err = readText(errPath_);
    return result;
  }

 private:
  Streams streams_;
  TempDir temporary_;
  fs::path outPath_;
  fs::path errPath_;
  pid_t pid_ = -1;
  int master_ = -1;
};

Result runTvr(const std::vector<std::string>& arguments, const std::vector<std::string>& environment = {},
              Streams streams = {}) {
  return Child(arguments, environment, std::move(streams)).wait();
}

std::vector<std::string> with(std::vector<std::string> arguments, const std::vector<std::string>& extra) {
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  return arguments;
}

std::vector<std::string> sampleArgs(const std::string& command, const std::string& run,
                                    const std::vector<std::string>& extra = {}) {
  return with({command, kSample.string(), "--plan", "family-archive", "--run", run, "--recovery-password-file",
               kSamplePasswordFile},
              extra);
}

// Files below `root` whose names mark a temporary file of an atomic write.
std::vector<std::string> temporaryFilesBelow(const fs::path& root) {
  std::vector<std::string> found;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->path().filename().string().find(".tmp-") != std::string::npos) found.push_back(it->path().string());
  }
  return found;
}

std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937_64 generator(seed);
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i + 8 <= size; i += 8) {
    std::uint64_t value = generator();
    std::memcpy(bytes.data() + i, &value, 8);
  }
  return bytes;
}

// One repository for the whole suite: large incompressible files (signals, progress), names
// with format and control characters, an empty folder, and a case-sensitive run.
class TvrProcessTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    directory_ = new TempDir;
    root_ = directory_->path() / "repository";
    test::RepositorySpec spec;
    test::TestRun big;
    for (int i = 0; i < 6; ++i) {
      big.files.push_back({"big/" + std::to_string(i) + ".bin", randomBytes(24 << 20, static_cast<unsigned>(i))});
    }
    big.directories.push_back({"big"});
    test::TestRun names;
    names.files = {{"Family \U0001F468\u200D\U0001F469\u200D\U0001F467/beach.jpg", "sand"},
                   {"evil\x1b[31m\n.txt", "red"},
                   {"Photo.JPG", "upper"},
                   {"photo.jpg", "lower"}};
    names.directories = {{"Family \U0001F468\u200D\U0001F469\u200D\U0001F467"}, {"empty"}};
    spec.plans.push_back({PlanID("big"), "Big", {big}});
    spec.plans.push_back({PlanID("names"), "Names \x1b]0;owned\x07", {names}});
    test::buildRepository(root_, spec);
  }
  static void TearDownTestSuite() {
    delete directory_;
    directory_ = nullptr;
  }

  static std::vector<std::string> args(const std::string& command, const std::string& plan,
                                       const std::vector<std::string>& extra = {}) {
    return with(
        {command, root_.string(), "--plan", plan, "--run", plan == "big" ? "1" : "2", "--recovery-password", kPassword},
        extra);
  }

  static TempDir* directory_;
  static fs::path root_;
};
TempDir* TvrProcessTest::directory_ = nullptr;
fs::path TvrProcessTest::root_;

// 1. Colour only on a terminal, unless forced; NO_COLOR, --no-color and JSON always win.
TEST(TvrProcess, ColourOnlyOnATerminal) {
  const std::string plain = "1\t2026-04-01T08:00:00Z";
  const std::string coloured = "\x1b[36m1\x1b[0m\t2026-04-01T08:00:00Z";
  struct Case {
    const char* name;
    std::vector<std::string> environment;
    std::vector<std::string> extra;
    bool terminal;
    bool colour;
  } cases[] = {
      {"terminal with TERM", {"TERM=xterm"}, {}, true, true},
      {"pipe with TERM", {"TERM=xterm"}, {}, false, false},
      {"pipe with CLICOLOR_FORCE", {"TERM=xterm", "CLICOLOR_FORCE=1"}, {}, false, true},
      {"pipe with CLICOLOR_FORCE=0", {"TERM=xterm", "CLICOLOR_FORCE=0"}, {}, false, false},
      {"terminal with NO_COLOR", {"TERM=xterm", "NO_COLOR=1"}, {}, true, false},
      {"terminal with --no-color", {"TERM=xterm"}, {"--no-color"}, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Result result = runTvr(with({"list-runs", kSample.string(), "--plan", "family-archive"}, c.extra), c.environment,
                           {.outputTerminal = c.terminal});
    EXPECT_EQ(result.status, 0);
    std::string out = c.terminal ? result.terminal : result.out;
    EXPECT_EQ(out.substr(0, (c.colour ? coloured : plain).size()), c.colour ? coloured : plain) << out;
  }
  Result json = runTvr({"list-runs", kSample.string(), "--plan", "family-archive", "--json"}, {"TERM=xterm"},
                       {.outputTerminal = true});
  EXPECT_EQ(json.terminal.find('\x1b'), std::string::npos);
}

// 2. On a case-insensitive run a path restores as search prints it; messages echo it as given.
TEST(TvrProcess, CaseInsensitiveRunsFindPathsAsPrinted) {
  TempDir temporary;
  Result search = runTvr(sampleArgs("search", "1", {"--name", "stephane"}));
  ASSERT_EQ(search.status, 0) << search.err;
  std::string printed = search.out.substr(search.out.find('\t') + 1);
  printed.pop_back();
  ASSERT_NE(printed, unicode::lowercased(printed)) << "the sample prints a display path with capitals";

  fs::path destination = temporary.path() / "stephane.jpg";
  Result restored = runTvr(sampleArgs("restore", "1", {"--path", printed, "--to", destination.string()}));
  EXPECT_EQ(restored.status, 0) << restored.err;
  EXPECT_EQ(restored.out, "Restored " + printed + "\n");
  EXPECT_TRUE(fs::is_regular_file(destination));

  Result dryRun = runTvr(sampleArgs(
      "restore", "1",
      {"--path", "LETTERS/to grandma.txt", "--to", (temporary.path() / "letter").string(), "--dry-run", "--json"}));
  ASSERT_EQ(dryRun.status, 0) << dryRun.err;
  nlohmann::json document = nlohmann::json::parse(dryRun.out);
  EXPECT_EQ(document["path"], "LETTERS/to grandma.txt");
  EXPECT_EQ(document["file"]["relPathNorm"], "letters/to grandma.txt");

  Result listed = runTvr(sampleArgs("list", "1", {"--path", "Photos", "--json"}));
  ASSERT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(nlohmann::json::parse(listed.out)["path"], "Photos");
  EXPECT_FALSE(nlohmann::json::parse(listed.out)["entries"].empty());
}

// 2 (case-sensitive runs keep the exact match), 3 (format characters in names) and 11
// (control characters shown visibly in text, exact in JSON).
TEST_F(TvrProcessTest, NamesAsTheyAre) {
  TempDir temporary;
  const std::string family = "Family \U0001F468\u200D\U0001F469\u200D\U0001F467";
  Result listed = runTvr(args("list", "names", {"--path", family}));
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(listed.out, "file\t" + family + "/beach.jpg\n");

  Result restored =
      runTvr(args("restore", "names", {"--path", family + "/beach.jpg", "--to", (temporary.path() / "b").string()}));
  EXPECT_EQ(restored.status, 0) << restored.err;
  EXPECT_EQ(readText(temporary.path() / "b"), "sand");

  Result upper =
      runTvr(args("restore", "names", {"--path", "Photo.JPG", "--to", (temporary.path() / "upper").string()}));
  EXPECT_EQ(upper.status, 0) << upper.err;
  EXPECT_EQ(readText(temporary.path() / "upper"), "upper");
  Result otherCase =
      runTvr(args("restore", "names", {"--path", "PHOTO.jpg", "--to", (temporary.path() / "none").string()}));
  EXPECT_EQ(otherCase.status, 4);
  EXPECT_EQ(otherCase.err, "No file at PHOTO.jpg in run 2\n");

  Result top = runTvr(args("list", "names"));
  EXPECT_EQ(top.status, 0);
  EXPECT_NE(top.out.find("file\tevil\\x1b[31m\\n.txt\n"), std::string::npos) << top.out;
  EXPECT_EQ(top.out.find('\x1b'), std::string::npos);
  Result json = runTvr(args("list", "names", {"--json"}));
  EXPECT_NE(json.out.find("evil\\u001b[31m\\n.txt"), std::string::npos) << json.out;

  Result plans = runTvr({"list-plans", root_.string()});
  EXPECT_NE(plans.out.find("names\tNames \\x1b]0;owned\\x07\n"), std::string::npos) << plans.out;

  Result search = runTvr(args("search", "names", {"--name", "evil"}));
  EXPECT_EQ(search.out.find('\x1b'), std::string::npos) << search.out;
  Result controlInName = runTvr(args("search", "names", {"--name", "ev\x01il"}));
  EXPECT_EQ(controlInName.status, 2);
  EXPECT_EQ(controlInName.err, "--name must not contain control characters\n");
}

// 4, 5, 9, 12, 13, 14: failures with their codes, through the binary, in JSON.
TEST(TvrProcess, FailuresHaveTheirCodes) {
  TempDir temporary;
  fs::path wrongPassword = temporary.write("wrong", "\xEF\xBB\xBFriver stone lantern 42\n");
  fs::path hugePassword = temporary.write("huge", std::string(70000, 'x'));
  fs::path notRepository = temporary.makeDirectory("not-a-repository");
  int refusedPort = 0;
  {
    // A port that was free a moment ago refuses the connection.
    int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    refusedPort = ntohs(address.sin_port);
    ::close(socket);
  }
  const std::vector<std::string> s3 = {"--region", "us-east-1", "--access-key-id", "k", "--secret-access-key", "s"};
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string code;
    std::string message;
    nlohmann::json details;
  } cases[] = {
      {"password with a byte-order mark",
       {"list", kSample.string(), "--plan", "family-archive", "--run", "1", "--recovery-password-file",
        wrongPassword.string()},
       6,
       "invalid_recovery_password",
       "Recovery password does not unlock this repository",
       nlohmann::json::object()},
      {"password file beyond 64 KiB",
       {"list", kSample.string(), "--plan", "family-archive", "--run", "1", "--recovery-password-file",
        hugePassword.string()},
       2,
       "recovery_password_file_too_large",
       "Recovery password file is larger than 64 KiB: " + hugePassword.string(),
       {{"option", "--recovery-password-file"}, {"path", hugePassword.string()}}},
      {"a refused connection",
       with({"hydrate-s3", (temporary.path() / "s3").string(), "--bucket", "b", "--endpoint",
             "http://127.0.0.1:" + std::to_string(refusedPort)},
            s3),
       7, "provider_network_failed", "", nlohmann::json::object()},
      {"a folder that does not exist",
       sampleArgs("list", "1", {"--path", "photos/2026"}),
       4,
       "repository_item_not_found",
       "No folder at photos/2026 in run 1",
       {{"path", "photos/2026"}, {"runID", "1"}}},
      {"a file is no folder",
       sampleArgs("list", "1", {"--path", "letters/to grandma.txt"}),
       4,
       "repository_item_not_found",
       "No folder at letters/to grandma.txt in run 1",
       {{"path", "letters/to grandma.txt"}, {"runID", "1"}}},
      {"a plan that does not exist",
       {"list-runs", kSample.string(), "--plan", "nope"},
       4,
       "plan_not_found",
       "No plan nope in this repository",
       {{"planID", "nope"}}},
      {"the repository path left out",
       {"list", "--plan", "p", "--run", "1"},
       2,
       "missing_repository_path",
       "Missing repository path",
       nlohmann::json::object()},
      {"the source left out",
       {"hydrate-local", "--to", (temporary.path() / "h").string()},
       2,
       "missing_path",
       "Missing source repository object root path",
       {{"name", "source repository object root"}}},
      {"restore from a folder that is no repository",
       {"restore", notRepository.string(), "--plan", "p", "--run", "1", "--path", "a", "--to",
        (temporary.path() / "r").string(), "--recovery-password", "x"},
       4,
       "repository_metadata_missing",
       "Repository is missing repo.json",
       {{"repository", notRepository.string()}}},
      {"dry run: a bucket name that is no host name",
       with({"hydrate-s3", (temporary.path() / "s3").string(), "--bucket", "my bucket", "--dry-run"}, s3),
       2,
       "invalid_s3_request",
       "Cannot address bucket my bucket: Invalid S3 endpoint configuration.",
       {{"bucket", "my bucket"}}},
      {"dry run: an endpoint with a query",
       with({"hydrate-s3", (temporary.path() / "s3").string(), "--bucket", "b", "--endpoint",
             "https://s3.example.com/?x=1", "--dry-run"},
            s3),
       2,
       "invalid_endpoint",
       "--endpoint must not contain a query or fragment",
       {{"option", "--endpoint"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // JSON errors, text output: real writes print text only.
    Result result = runTvr(with(c.args, {"--json", "--output", "text"}));
    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_EQ(result.out, "");
    nlohmann::json envelope = nlohmann::json::parse(result.err);
    EXPECT_EQ(envelope["code"], c.code);
    EXPECT_EQ(envelope["exitCode"], c.status);
    if (!c.message.empty()) {
      EXPECT_EQ(envelope["message"], c.message);
    }
    EXPECT_EQ(envelope["details"], c.details);
  }
  // No request went out and nothing was created.
  EXPECT_FALSE(fs::exists(temporary.path() / "s3"));
  EXPECT_FALSE(fs::exists(temporary.path() / "r"));

  // An existing empty folder still lists nothing, successfully; a long query costs linear time.
  Result tooLong = runTvr(sampleArgs("search", "1", {"--name", std::string(100000, 'q')}));
  EXPECT_EQ(tooLong.status, 0) << tooLong.err;
  EXPECT_EQ(tooLong.out, "");
}

TEST_F(TvrProcessTest, AnEmptyFolderListsNothing) {
  Result empty = runTvr(args("list", "names", {"--path", "empty"}));
  EXPECT_EQ(empty.status, 0) << empty.err;
  EXPECT_EQ(empty.out, "");
}

// 6. Hydration from nothing fails; links and special files in the source are named.
TEST(TvrProcess, HydrationNeedsRepositoryObjects) {
  TempDir temporary;
  fs::path empty = temporary.makeDirectory("empty");
  fs::path file = temporary.write("file", "x");
  fs::path docs = temporary.makeDirectory("docs");
  temporary.write("docs/readme.md", "# hello");
  struct Case {
    const char* name;
    fs::path source;
    std::string code;
    nlohmann::json details;
  } cases[] = {
      {"a source that does not exist",
       temporary.path() / "nonexistent",
       "repository_objects_missing",
       {{"source", (temporary.path() / "nonexistent").string()}}},
      {"a file", file, "repository_objects_missing", {{"source", file.string()}}},
      {"an empty folder", empty, "repository_objects_missing", {{"source", empty.string()}}},
      {"a folder without repo.json", docs, "repository_metadata_missing", {{"repository", docs.string()}}},
  };
  for (const Case& c : cases) {
    for (bool dryRun : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (dryRun ? " (dry run)" : ""));
      fs::path destination = temporary.path() / "destination";
      std::vector<std::string> arguments = {"hydrate-local", c.source.string(), "--to", destination.string(),
                                            "--json",        "--output",        "text"};
      if (dryRun) arguments.push_back("--dry-run");
      Result result = runTvr(arguments);
      EXPECT_EQ(result.status, 4);
      nlohmann::json envelope = nlohmann::json::parse(result.err);
      EXPECT_EQ(envelope["code"], c.code);
      EXPECT_EQ(envelope["details"], c.details);
      EXPECT_FALSE(fs::exists(destination));
    }
  }
  Result relative = runTvr({"hydrate-local", "nonexistent-here", "--to", (temporary.path() / "d").string()});
  EXPECT_EQ(relative.err, "No repository objects at " + (fs::current_path() / "nonexistent-here").string() + "\n");

  // A blob that is a link is not copied silently.
  fs::path source = temporary.path() / "source";
  fs::copy(kSample, source, fs::copy_options::recursive);
  fs::path blob;
  for (const auto& entry : fs::recursive_directory_iterator(source / "blobs")) {
    if (entry.is_regular_file()) blob = entry.path();
  }
  fs::path moved = temporary.path() / "moved-blob";
  fs::rename(blob, moved);
  fs::create_symlink(moved, blob);
  ::mkfifo((source / "fifo").c_str(), 0644);
  fs::path destination = temporary.path() / "hydrated";
  Result partial = runTvr({"hydrate-local", source.string(), "--to", destination.string()});
  EXPECT_EQ(partial.status, 4);
  EXPECT_EQ(partial.out, "");
  std::string key = blob.lexically_relative(source).string();
  EXPECT_EQ(partial.err, "Not copied: " + key +
                             " (a symbolic link)\nNot copied: fifo (a FIFO)\nHydrated 8 objects; 2 "
                             "source items could not be copied\n");
  EXPECT_TRUE(fs::is_regular_file(destination / "repo.json"));
  EXPECT_FALSE(fs::exists(destination / key));
}

// 7. With --overwrite true, what is not a regular file (or not a folder) is refused.
TEST(TvrProcess, DevicesAndFoldersAreNoFileDestinations) {
  TempDir temporary;
  fs::path fifo = temporary.path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  fs::path device = temporary.path() / "mynull";
  bool haveDevice = ::mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
  fs::path link = temporary.path() / "link-to-dev-null";
  fs::create_symlink("/dev/null", link);
  fs::path socketPath = temporary.path() / "socket";
  int socket = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  fs::path folder = temporary.makeDirectory("folder");
  fs::path file = temporary.write("file", "mine");

  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string message;
    fs::path path;
  };
  std::vector<Case> cases;
  for (const fs::path& path : {fifo, link, socketPath}) {
    for (const char* dryRun : {"--overwrite", "--dry-run"}) {
      std::vector<std::string> arguments = sampleArgs(
          "restore", "1", {"--path", "letters/to grandma.txt", "--to", path.string(), "--overwrite", "true"});
      if (std::string(dryRun) == "--dry-run") arguments.push_back("--dry-run");
      cases.push_back({"restore onto a special file", arguments, "Destination is not a regular file: ", path});
    }
  }
  if (haveDevice) {
    cases.push_back({"restore onto a device",
                     sampleArgs("restore", "1",
                                {"--path", "letters/to grandma.txt", "--to", device.string(), "--overwrite", "true"}),
                     "Destination is not a regular file: ", device});
  }
  cases.push_back(
      {"restore onto a folder",
       sampleArgs("restore", "1", {"--path", "letters/to grandma.txt", "--to", folder.string(), "--overwrite", "true"}),
       "Destination is a directory: ", folder});
  cases.push_back({"export onto a file", sampleArgs("export", "1", {"--to", file.string(), "--overwrite", "true"}),
                   "Destination is not a folder: ", file});
  cases.push_back({"hydrate onto a file",
                   {"hydrate-local", kSample.string(), "--to", file.string(), "--overwrite", "true", "--dry-run"},
                   "Destination is not a folder: ",
                   file});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + (" " + c.path.string()));
    Result result = runTvr(with(c.args, {"--json", "--output", "text"}));
    EXPECT_EQ(result.status, 2);
    nlohmann::json envelope = nlohmann::json::parse(result.err);
    EXPECT_EQ(envelope["code"], "unsupported_destination");
    EXPECT_EQ(envelope["category"], "validation");
    EXPECT_EQ(envelope["message"], c.message + c.path.string());
    EXPECT_EQ(envelope["details"], nlohmann::json({{"path", c.path.string()}}));
  }
  ::close(socket);
  struct stat status {};
  ASSERT_EQ(::lstat(fifo.c_str(), &status), 0);
  EXPECT_TRUE(S_ISFIFO(status.st_mode));
  if (haveDevice) {
    ASSERT_EQ(::lstat(device.c_str(), &status), 0);
    EXPECT_TRUE(S_ISCHR(status.st_mode));
  }
  EXPECT_EQ(readText(file), "mine");
  EXPECT_TRUE(fs::is_symlink(link));
}

// 8. Output that could not be written is a failure.
TEST(TvrProcess, OutputThatWasNotWrittenFails) {
  Result full = runTvr({"list-runs", kSample.string(), "--plan", "family-archive"}, {}, {.outputFile = "/dev/full"});
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.err, "Failed to write output: No space left on device\n");
  Result json = runTvr({"commands", "--json"}, {}, {.outputFile = "/dev/full"});
  EXPECT_EQ(json.status, 1);
  EXPECT_EQ(nlohmann::json::parse(json.err)["code"], "output_write_failed");
}

// 13. A failed command leaves no folder it made; echoed paths are lexically normal.
TEST(TvrProcess, FailuresLeaveNoFoldersAndPathsAreClean) {
  TempDir temporary;
  fs::path repository = temporary.path() / "repository";
  fs::copy(kSample, repository, fs::copy_options::recursive);
  fs::remove(repository / "catalog.sqlite");
  fs::path destination = temporary.path() / "new" / "export";
  Result failed = runTvr({"export", repository.string(), "--plan", "family-archive", "--run", "1", "--to",
                          destination.string(), "--recovery-password-file", kSamplePasswordFile});
  EXPECT_EQ(failed.status, 1);
  EXPECT_FALSE(fs::exists(temporary.path() / "new"));

  std::string messy = (temporary.path() / "." / "x" / ".." / "repository").string();
  Result info = runTvr({"info", messy, "--json"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_EQ(nlohmann::json::parse(info.out)["repository"], repository.string());
}

// 16. --verbose adds the code and the causes; without it standard error is one line.
TEST(TvrProcess, VerboseAddsCodeAndCauses) {
  TempDir temporary;
  fs::path repository = temporary.path() / "repository";
  fs::copy(kSample, repository, fs::copy_options::recursive);
  fs::remove(repository / "catalog.sqlite");
  std::vector<std::string> arguments = {"list-runs", repository.string(), "--plan", "family-archive"};
  Result quiet = runTvr(arguments);
  EXPECT_EQ(quiet.status, 1);
  EXPECT_EQ(std::count(quiet.err.begin(), quiet.err.end(), '\n'), 1) << quiet.err;
  Result verbose = runTvr(with(arguments, {"--verbose"}));
  EXPECT_EQ(verbose.status, 1);
  EXPECT_EQ(verbose.err.substr(0, verbose.err.find('\n') + 1), quiet.err);
  EXPECT_NE(verbose.err.find("\nError: internal_error (category internal, exit 1)\nCaused by: "), std::string::npos)
      << verbose.err;

  Result wrong = runTvr(sampleArgs("list", "1", {"--verbose"}), {});
  EXPECT_EQ(wrong.status, 0) << "the sample password is right";
  Result badPassword = runTvr({"list", kSample.string(), "--plan", "family-archive", "--run", "1",
                               "--recovery-password", "not the password", "--verbose"});
  EXPECT_EQ(badPassword.status, 6);
  EXPECT_EQ(badPassword.err,
            "Recovery password does not unlock this repository\n"
            "Error: invalid_recovery_password (category authentication, exit 6)\n"
            "Caused by: CryptoError 2: AES-GCM authentication failed.\n");
  EXPECT_EQ(badPassword.err.find("not the password"), std::string::npos);
}

// 10. Signals cancel the work: the temporary file in flight goes, completed files stay,
// the status is 128 + the signal.
TEST_F(TvrProcessTest, InterruptsCleanUp) {
  struct Case {
    const char* name;
    int signal;
    bool exportRun;
  } cases[] = {
      {"SIGINT during export", SIGINT, true},
      {"SIGTERM during export", SIGTERM, true},
      {"SIGHUP during restore", SIGHUP, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir temporary;
    fs::path destination = temporary.path() / "out";
    std::vector<std::string> arguments =
        c.exportRun ? args("export", "big", {"--to", destination.string()})
                    : args("restore", "big", {"--path", "big/5.bin", "--to", (destination / "5.bin").string()});
    Child child(arguments, {});
    bool inFlight = false;
    for (int i = 0; i < 20000 && !inFlight; ++i) {
      inFlight = !temporaryFilesBelow(destination).empty();
      if (!inFlight) std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    ASSERT_TRUE(inFlight) << "no temporary file appeared";
    ::kill(child.pid(), c.signal);
    Result result = child.wait();
    EXPECT_EQ(result.status, 128 + c.signal) << result.err;
    EXPECT_EQ(temporaryFilesBelow(destination), std::vector<std::string>());
    // What was completed stays, whole.
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(destination, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
      if (it->is_regular_file()) {
        EXPECT_EQ(it->file_size(), 24u << 20) << it->path();
      }
    }
  }
}

// A signal ignored by whoever started tvr (nohup) stays ignored: the work completes.
TEST_F(TvrProcessTest, IgnoredSignalsStayIgnored) {
  TempDir temporary;
  fs::path destination = temporary.path() / "5.bin";
  Child child(args("restore", "big", {"--path", "big/5.bin", "--to", destination.string()}), {},
              {.ignoredSignals = {SIGHUP}});
  bool inFlight = false;
  for (int i = 0; i < 20000 && !inFlight; ++i) {
    inFlight = !temporaryFilesBelow(temporary.path()).empty();
    if (!inFlight) std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  ASSERT_TRUE(inFlight) << "no temporary file appeared";
  ::kill(child.pid(), SIGHUP);
  Result result = child.wait();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(fs::file_size(destination), 24u << 20);
}

// 15. Progress on a terminal's standard error only, erased at the end.
TEST_F(TvrProcessTest, ProgressOnlyOnATerminal) {
  TempDir temporary;
  Result shown =
      runTvr(args("export", "big", {"--to", (temporary.path() / "a").string()}), {}, {.errorTerminal = true});
  EXPECT_EQ(shown.status, 0) << shown.terminal;
  EXPECT_EQ(shown.out, "Exported run 1\n");
  EXPECT_NE(shown.terminal.find("\r\x1b[KExporting "), std::string::npos) << shown.terminal;
  EXPECT_NE(shown.terminal.find("/6 files, "), std::string::npos) << shown.terminal;
  EXPECT_EQ(shown.terminal.substr(shown.terminal.size() - 4), "\r\x1b[K") << "erased at the end";

  Result piped = runTvr(args("export", "big", {"--to", (temporary.path() / "b").string()}));
  EXPECT_EQ(piped.status, 0);
  EXPECT_EQ(piped.err, "");
  Result quiet = runTvr(args("export", "big", {"--to", (temporary.path() / "c").string(), "--quiet"}), {},
                        {.errorTerminal = true});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.terminal, "");

  Result verify = runTvr({"verify", root_.string(), "--recovery-password", kPassword}, {}, {.errorTerminal = true});
  EXPECT_EQ(verify.status, 0) << verify.terminal;
  EXPECT_NE(verify.terminal.find("Verifying "), std::string::npos) << verify.terminal;
}

TEST(ProgressLine, ShowsCountsRateAndTimeLeft) {
  EXPECT_EQ(Progress::line("Exporting", 3, 10, 1500000, 4000000, 1.0),
            "Exporting 3/10 files, 1.5 MB of 4.0 MB, 1.5 MB/s, 2 s left");
  EXPECT_EQ(Progress::line("Hydrating", 2, std::nullopt, 999, std::nullopt, 0.1), "Hydrating 2 files, 999 B");
}

}  // namespace
}  // namespace tvr::cli
