// hydrate-local and hydrate-s3 through BackupCLI::run: argument order, the destination check,
// dry runs, the S3 settings, and real hydrations from a folder and from s3rver on loopback
// whose results are then verified and exported by the tool itself.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "BackupCLI/CommandHandlers.h"
#include "engine/s3/S3RepositoryStorageBackend.h"
#include "tests/cli/CLITestSupport.h"
#include "tests/support/Files.h"
#include "tests/support/S3rverFixture.h"
#include "tests/support/TempDir.h"

namespace tvr::cli {
namespace {

using test::Outcome;
using test::readText;
using test::runCLI;
using test::TempDir;

constexpr const char* kSecret = "hydrate-secret-Zq9-never-printed";
const std::filesystem::path kSample = std::filesystem::path(TVR_FIXTURES_DIR) / "sample-repository";
const std::string kSamplePasswordFile =
    (std::filesystem::path(TVR_FIXTURES_DIR) / "sample-repository.password").string();

// "/" as the tool's JSON writes it.
std::string jsonEscaped(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '/') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

std::vector<std::string> with(std::vector<std::string> base, const std::vector<std::string>& extra) {
  base.insert(base.end(), extra.begin(), extra.end());
  return base;
}

// Relative path -> contents of every regular file under `root`.
std::map<std::string, std::string> treeContents(const std::filesystem::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files[std::filesystem::relative(entry.path(), root).string()] = readText(entry.path());
  }
  return files;
}

// A listening loopback socket nobody answers on: a connection attempt shows up as a pending
// connection that accept() can take.
class SilentListener {
 public:
  SilentListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd_, 8) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("cannot listen on loopback");
    }
    ::fcntl(fd_, F_SETFL, O_NONBLOCK);
    port_ = ntohs(address.sin_port);
  }
  ~SilentListener() { ::close(fd_); }
  std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }
  bool wasContacted() const {
    int connection = ::accept(fd_, nullptr, nullptr);
    if (connection < 0) return false;
    ::close(connection);
    return true;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// Three object files and a temporary file of an interrupted write, which is no object.
std::filesystem::path threeObjects(const TempDir& temporary) {
  temporary.write("source/repo.json", "{}");
  temporary.write("source/blobs/ab/ab01", "blob");
  temporary.write("source/catalog.sqlite", "db");
  temporary.write("source/blobs/ab/.ab02.tmp-1", "partial");
  return temporary.path() / "source";
}

TEST(HydrateCommandsTest, LocalDryRunCountsObjectsAndWritesNothing) {
  TempDir temporary;
  std::filesystem::path source = threeObjects(temporary);
  std::filesystem::path destination = temporary.path() / "restored repo";
  std::filesystem::path occupied = temporary.path() / "occupied";
  temporary.write("occupied/keep.txt", "mine");

  Outcome text = runCLI({"hydrate-local", source.string(), "--to", destination.string(), "--dry-run"});
  EXPECT_EQ(text.status, 0) << text.err;
  EXPECT_EQ(text.out, "Dry run: hydrate 3 objects to " + destination.string() + "\n");
  EXPECT_EQ(text.err, "");

  Outcome json = runCLI({"hydrate-local", source.string(), "--to", destination.string(), "--dry-run", "--json"});
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.out, R"({"command":"hydrate-local","destination":")" + jsonEscaped(destination.string()) +
                          R"(","dryRun":true,"objectCount":3,"overwrite":false,"providerPreflight":false,)"
                          R"("schemaVersion":1,"source":")" +
                          jsonEscaped(source.string()) + "\"}\n");
  EXPECT_FALSE(std::filesystem::exists(destination));

  // With consent a non-empty folder is fine for the dry run too, and stays as it was.
  Outcome merge = runCLI({"hydrate-local", source.string(), "--to", occupied.string(), "--dry-run", "--overwrite",
                          "true", "--output", "json"});
  EXPECT_EQ(merge.status, 0) << merge.err;
  nlohmann::json document = nlohmann::json::parse(merge.out);
  EXPECT_EQ(document["overwrite"], true);
  EXPECT_EQ(document["objectCount"], 3);
  EXPECT_EQ(treeContents(occupied), (std::map<std::string, std::string>{{"keep.txt", "mine"}}));
}

TEST(HydrateCommandsTest, S3DryRunValidatesEverythingAndSendsNoRequest) {
  TempDir temporary;
  SilentListener listener;
  std::filesystem::path destination = temporary.makeDirectory("empty");
  const std::vector<std::string> base = {
      "hydrate-s3", destination.string(), "--bucket",          "my-bucket", "--region", "auto", "--access-key-id",
      "AKID",       "--endpoint",         listener.endpoint(), "--dry-run"};

  Outcome text = runCLI(base, {{"AWS_SECRET_ACCESS_KEY", kSecret}});
  EXPECT_EQ(text.status, 0) << text.err;
  EXPECT_EQ(text.out, "Dry run: hydrate S3 repository objects to " + destination.string() + "\n");

  Outcome json = runCLI(with(base, {"--json", "--secret-access-key", kSecret, "--session-token", "tok"}));
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.out, R"({"command":"hydrate-s3","destination":")" + jsonEscaped(destination.string()) +
                          R"(","dryRun":true,"overwrite":false,"providerPreflight":false,"schemaVersion":1,)"
                          R"("source":"my-bucket"})"
                          "\n");
  EXPECT_EQ(json.out.find(kSecret), std::string::npos);
  EXPECT_FALSE(listener.wasContacted());
  EXPECT_TRUE(std::filesystem::is_empty(destination));
}

// The checks run in their documented order; the first failure decides.
TEST(HydrateCommandsTest, S3ChecksComeInOrder) {
  TempDir temporary;
  const std::string occupied = temporary.write("occupied/x").parent_path().string();
  const std::string empty = temporary.makeDirectory("empty").string();
  auto s3 = [](const std::string& destination, std::vector<std::string> extra) {
    return with({"hydrate-s3", destination, "--bucket", "b", "--region", "auto", "--access-key-id", "k"}, extra);
  };
  struct Case {
    std::string name;
    std::vector<std::string> args;
    Environment environment;
    std::string code;
    int status;
  };
  const Case cases[] = {
      {"non-empty destination before the missing secret", s3(occupied, {}), {}, "confirmation_required", 3},
      {"non-empty destination before the missing secret (dry run)",
       s3(occupied, {"--dry-run"}),
       {},
       "confirmation_required",
       3},
      {"JSON refused for the real run before the missing secret",
       s3(empty, {"--json"}),
       {},
       "unsupported_output_format",
       2},
      {"JSON refused only after the destination check", s3(occupied, {"--json"}), {}, "confirmation_required", 3},
      {"empty option is an empty value, not a missing secret",
       s3(empty, {"--dry-run", "--secret-access-key", ""}),
       {{"AWS_SECRET_ACCESS_KEY", kSecret}},
       "empty_option_value",
       2},
      {"empty variable is a missing secret",
       s3(empty, {"--dry-run"}),
       {{"AWS_SECRET_ACCESS_KEY", ""}},
       "missing_s3_secret_access_key",
       6},
      {"endpoint before the secret", s3(empty, {"--dry-run", "--endpoint", "ftp://x"}), {}, "invalid_endpoint", 2},
      {"secret before the bucket", {"hydrate-s3", empty, "--dry-run"}, {}, "missing_s3_secret_access_key", 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = c.args;
    if (std::find(args.begin(), args.end(), "--json") == args.end()) args.push_back("--json");
    Outcome outcome = runCLI(args, c.environment);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.out, "");
    nlohmann::json envelope = nlohmann::json::parse(outcome.err);
    if (c.code == "confirmation_required") {
      EXPECT_EQ(envelope["type"], "confirmation_required");
      EXPECT_EQ(envelope["reason"], "destination_not_empty");
      EXPECT_EQ(envelope["risk"], "merge_or_overwrite");
      EXPECT_EQ(envelope["changes"][0]["operation"], "hydrate-s3");
    } else {
      EXPECT_EQ(envelope["code"], c.code);
    }
    EXPECT_EQ(outcome.err.find(kSecret), std::string::npos);
  }
  EXPECT_TRUE(std::filesystem::is_empty(empty));
}

TEST(HydrateCommandsTest, S3BackendCarriesTheSettings) {
  const Environment environment = {{"AWS_SECRET_ACCESS_KEY", "env-secret"}, {"AWS_SESSION_TOKEN", "env-token"}};
  struct Case {
    std::string name;
    std::vector<std::string> extra;
    std::string url;  // of the object "repo.json"; empty: only the prefix below is checked
    std::string urlPrefix;
    bool pathStyle;
    std::string secret;
    std::optional<std::string> token;
  };
  const Case cases[] = {
      {"default endpoint: virtual-hosted", {}, "", "https://b.", false, "env-secret", "env-token"},
      {"endpoint: path-style",
       {"--endpoint", "http://127.0.0.1:9000"},
       "http://127.0.0.1:9000/b/repo.json",
       "",
       true,
       "env-secret",
       "env-token"},
      {"--path-style false forces virtual-hosted",
       {"--endpoint", "http://s3.localhost:9000", "--path-style", "false"},
       "http://b.s3.localhost:9000/repo.json",
       "",
       false,
       "env-secret",
       "env-token"},
      {"--path-style true without an endpoint",
       {"--path-style", "yes"},
       "",
       "https://",
       true,
       "env-secret",
       "env-token"},
      {"options win over the environment",
       {"--secret-access-key", "option-secret", "--session-token", "option-token"},
       "",
       "https://b.",
       false,
       "option-secret",
       "option-token"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ParsedOptions options("hydrate-s3",
                          with({"dest", "--bucket", "b", "--region", "eu-west-3", "--access-key-id", "AKID"}, c.extra));
    S3RepositoryStorageBackend backend = s3Backend(options, environment);
    const S3StorageConfiguration& configuration = backend.configuration();
    EXPECT_EQ(configuration.bucket, "b");
    EXPECT_EQ(configuration.region, "eu-west-3");
    EXPECT_EQ(configuration.accessKeyID, "AKID");
    EXPECT_EQ(configuration.usePathStyle, c.pathStyle);
    EXPECT_TRUE(configuration.secretAccessKey == c.secret);  // not printed on failure
    EXPECT_EQ(configuration.sessionToken, c.token);
    std::string url = backend.signer().requestTarget(RepositoryObjectKey("repo.json")).url;
    if (!c.url.empty()) {
      EXPECT_EQ(url, c.url);
    } else {
      EXPECT_TRUE(url.starts_with(c.urlPrefix)) << url;
    }
    EXPECT_EQ(backend.retryPolicy().maxRetries, 3);
    EXPECT_EQ(backend.retryPolicy().baseDelayNanoseconds, 250'000'000u);
  }
  // No token anywhere sends none.
  ParsedOptions options("hydrate-s3", {"dest", "--bucket", "b", "--region", "auto", "--access-key-id", "k"});
  EXPECT_EQ(s3Backend(options, {{"AWS_SECRET_ACCESS_KEY", "s"}}).configuration().sessionToken, std::nullopt);
}

// The hydrated copy is a working repository: the tool verifies it and exports run 2 from it.
void expectWorkingCopyOfTheSample(const std::filesystem::path& copy) {
  EXPECT_EQ(treeContents(copy), treeContents(kSample));

  Outcome verify = runCLI({"verify", copy.string(), "--recovery-password-file", kSamplePasswordFile});
  EXPECT_EQ(verify.status, 0) << verify.err;
  EXPECT_NE(verify.out.find("Issues: 0\n"), std::string::npos) << verify.out;

  std::filesystem::path exported = copy.parent_path() / (copy.filename().string() + "-export");
  Outcome exportRun = runCLI({"export", copy.string(), "--plan", "family-archive", "--run", "2", "--to",
                              exported.string(), "--recovery-password-file", kSamplePasswordFile});
  ASSERT_EQ(exportRun.status, 0) << exportRun.err;
  EXPECT_EQ(exportRun.out, "Exported run 2\n");
  EXPECT_EQ(readText(exported / "letters/to grandma.txt"), "Dear grandma,\n");
  std::string clip = readText(exported / "video/clip.bin");
  ASSERT_EQ(clip.size(), 1048577u);
  for (std::size_t i = 0; i < clip.size(); i += 4093) {
    ASSERT_EQ(static_cast<unsigned char>(clip[i]), (7 * i + (i >> 12)) % 251) << "byte " << i;
  }
  EXPECT_FALSE(std::filesystem::exists(exported / "old.txt"));
}

TEST(HydrateCommandsTest, HydrateLocalRebuildsAWorkingRepository) {
  TempDir temporary;
  std::filesystem::path copy = temporary.path() / "copy";
  Outcome outcome = runCLI({"hydrate-local", kSample.string(), "--to", copy.string()});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out, "Hydrated 9 objects\n");
  EXPECT_EQ(outcome.err, "");
  expectWorkingCopyOfTheSample(copy);

  // Into an existing folder only with consent: matching objects are replaced, others stay.
  std::filesystem::path merged = temporary.makeDirectory("merged");
  temporary.write("merged/repo.json", "stale");
  temporary.write("merged/notes.txt", "mine");
  Outcome refused = runCLI({"hydrate-local", kSample.string(), "--to", merged.string()});
  EXPECT_EQ(refused.status, 3);
  EXPECT_EQ(readText(merged / "repo.json"), "stale");
  Outcome consented = runCLI({"hydrate-local", kSample.string(), "--to", merged.string(), "--overwrite", "true"});
  EXPECT_EQ(consented.status, 0) << consented.err;
  EXPECT_EQ(consented.out, "Hydrated 9 objects\n");
  EXPECT_EQ(readText(merged / "repo.json"), readText(kSample / "repo.json"));
  EXPECT_EQ(readText(merged / "notes.txt"), "mine");
}

class HydrateS3Test : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    try {
      server_ = new test::S3rverFixture({"repository", "empty-bucket"});
      for (const auto& [relative, contents] : treeContents(kSample)) {
        server_->client("repository", {"put", relative, (kSample / relative).string()});
      }
    } catch (const std::exception& error) {
      setupFailure_ = error.what();
    }
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    if (!setupFailure_.empty()) GTEST_FAIL() << "s3rver could not be prepared: " << setupFailure_;
  }

  static std::vector<std::string> hydrate(const std::string& destination, const std::string& bucket,
                                          std::vector<std::string> extra = {}) {
    return with({"hydrate-s3", destination, "--bucket", bucket, "--region", "us-east-1", "--access-key-id",
                 test::S3rverFixture::kAccessKey, "--endpoint", server_->endpoint()},
                extra);
  }
  static Environment secret(const std::string& value = test::S3rverFixture::kSecret) {
    return {{"AWS_SECRET_ACCESS_KEY", value}};
  }

  static test::S3rverFixture* server_;
  static std::string setupFailure_;
};
test::S3rverFixture* HydrateS3Test::server_ = nullptr;
std::string HydrateS3Test::setupFailure_;

TEST_F(HydrateS3Test, DownloadsEveryObjectIntoAWorkingRepository) {
  TempDir temporary;
  std::filesystem::path copy = temporary.makeDirectory("copy");  // empty: no consent needed
  Outcome outcome = runCLI(hydrate(copy.string(), "repository"), secret());
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out, "Hydrated 9 objects\n");
  EXPECT_EQ(outcome.err, "");
  expectWorkingCopyOfTheSample(copy);

  // Coloured like the other success lines when the terminal asks for it.
  std::filesystem::path again = temporary.path() / "again";
  Outcome coloured =
      runCLI(hydrate(again.string(), "repository"), {{"AWS_SECRET_ACCESS_KEY", "S3RVER"}, {"CLICOLOR_FORCE", "1"}});
  EXPECT_EQ(coloured.status, 0) << coloured.err;
  EXPECT_EQ(coloured.out, "\x1b[32mHydrated 9 objects\x1b[0m\n");

  // An empty bucket is no repository: repository_objects_missing naming the bucket, and no
  // destination folder.
  std::filesystem::path nothing = temporary.path() / "nothing";
  Outcome empty = runCLI(
      hydrate(nothing.string(), "empty-bucket", {"--secret-access-key", "S3RVER", "--json", "--output", "text"}));
  EXPECT_EQ(empty.status, 4) << empty.err;
  EXPECT_EQ(empty.out, "");
  nlohmann::json envelope = nlohmann::json::parse(empty.err);
  EXPECT_EQ(envelope["code"], "repository_objects_missing");
  EXPECT_EQ(envelope["message"], "No repository objects at empty-bucket");
  EXPECT_EQ(envelope["details"], nlohmann::json({{"source", "empty-bucket"}}));
  EXPECT_FALSE(std::filesystem::exists(nothing));
}

// Provider answers are network failures (exit 7) with the backend's text; the secret is in
// no output, and a failed listing writes nothing.
TEST_F(HydrateS3Test, ProviderAnswersAreNetworkFailures) {
  struct Case {
    std::string name;
    std::string bucket;
    std::string accessKeyID;
    std::vector<std::string> extra;
    std::string message;
  };
  // The secret is the test's own in every row (s3rver answers these before any signature
  // check), so an echo of it anywhere would show.
  const Case cases[] = {
      {"unknown bucket", "no-such-bucket", "S3RVER", {}, "S3 LIST failed with HTTP 404 (NoSuchBucket): "},
      {"unknown access key", "repository", "NOBODY", {}, "S3 LIST failed with HTTP 403 (InvalidAccessKeyId): "},
      {"unknown access key, secret from the option",
       "repository",
       "NOBODY",
       {"--secret-access-key", kSecret},
       "S3 LIST failed with HTTP 403 (InvalidAccessKeyId): "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir temporary;
    std::filesystem::path destination = temporary.path() / "dest";
    std::vector<std::string> args = hydrate(destination.string(), c.bucket, c.extra);
    *std::find(args.begin(), args.end(), std::string(test::S3rverFixture::kAccessKey)) = c.accessKeyID;
    Outcome text = runCLI(args, secret(kSecret));
    EXPECT_EQ(text.status, 7);
    EXPECT_EQ(text.out, "");
    EXPECT_TRUE(text.err.starts_with(c.message)) << text.err;
    EXPECT_EQ(std::count(text.err.begin(), text.err.end(), '\n'), 1) << text.err;
    EXPECT_EQ(text.err.find(kSecret), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(destination));

    // The same failure for a JSON caller (a dry run would contact nobody, so the real run is
    // asked for with --output text and the envelope format chosen by a later --json).
    Outcome json = runCLI(with(args, {"--json", "--output", "text"}), secret(kSecret));
    EXPECT_EQ(json.status, 7);
    ASSERT_FALSE(json.err.empty());
    nlohmann::json envelope = nlohmann::json::parse(json.err);
    EXPECT_EQ(envelope["code"], "provider_network_failed");
    EXPECT_EQ(envelope["category"], "network");
    EXPECT_EQ(envelope["exitCode"], 7);
    EXPECT_EQ(envelope["remediation"], "Check network connectivity and provider credentials, then retry.");
    EXPECT_EQ(envelope["details"], nlohmann::json::object());
    EXPECT_EQ(envelope["message"], text.err.substr(0, text.err.size() - 1));
    EXPECT_EQ(json.err.find(kSecret), std::string::npos);
  }
}

// A refused connection is a network failure too: after the retries, provider_network_failed
// with the transport's text, and no destination folder.
TEST(HydrateCommandsTest, UnreachableEndpointIsANetworkFailure) {
  TempDir temporary;
  int port = test::freeLoopbackPort();
  std::filesystem::path destination = temporary.path() / "dest";
  Outcome outcome = runCLI({"hydrate-s3", destination.string(), "--bucket", "b", "--region", "auto", "--access-key-id",
                            "k", "--endpoint", "http://127.0.0.1:" + std::to_string(port), "--secret-access-key",
                            kSecret, "--json", "--output", "text"});
  EXPECT_EQ(outcome.status, 7);
  nlohmann::json envelope = nlohmann::json::parse(outcome.err);
  EXPECT_EQ(envelope["code"], "provider_network_failed");
  EXPECT_EQ(envelope["category"], "network");
  EXPECT_FALSE(envelope["message"].get<std::string>().empty());
  EXPECT_EQ(outcome.err.find(kSecret), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(destination));
}

}  // namespace
}  // namespace tvr::cli
