// The S3 backend and `tvr hydrate-s3` against fault_server.py as an in-memory S3 that checks
// every request's Signature Version 4 with botocore's signer: every request the backend makes
// must be accepted, and anything not signed right must be refused.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <set>

#include "engine/s3/S3HTTPFailureError.h"
#include "engine/s3/S3HTTPSession.h"
#include "engine/s3/S3RepositoryStorageBackend.h"
#include "platform/Error.h"
#include "tests/support/FaultServer.h"
#include "tests/support/Files.h"
#include "tests/support/RecordingStorageBackend.h"
#include "tests/support/TempDir.h"

namespace tvr {
namespace {

using test::FaultServer;
using test::lines;
using test::rawKeys;
using test::TempDir;
using test::writeText;
using Status = RepositoryObjectWriteResult::Status;

const std::vector<std::string> kNoRejections;
const std::filesystem::path kSample = std::filesystem::path(TVR_FIXTURES_DIR) / "sample-repository";
const std::string kSamplePasswordFile = std::string(TVR_FIXTURES_DIR) + "/sample-repository.password";

// Every regular file under a folder by its relative path, with its contents.
std::map<std::string, std::string> treeContents(const std::filesystem::path& root) {
  std::map<std::string, std::string> out;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) {
      out[entry.path().lexically_relative(root).string()] = test::readText(entry.path());
    }
  }
  return out;
}

struct TvrRun {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the `tvr` executable with exactly the given environment ("NAME=value" items).
TvrRun runTvr(const std::vector<std::string>& arguments, const std::vector<std::string>& environment) {
  TempDir streams;
  std::filesystem::path out = streams.path() / "out";
  std::filesystem::path err = streams.path() / "err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<std::string> argvText{TVR_CLI_BINARY};
  argvText.insert(argvText.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& item : argvText) argv.push_back(item.data());
  argv.push_back(nullptr);
  std::vector<std::string> environmentText = environment;
  std::vector<char*> envp;
  for (auto& item : environmentText) envp.push_back(item.data());
  envp.push_back(nullptr);
  pid_t pid = 0;
  int spawned = posix_spawn(&pid, TVR_CLI_BINARY, &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  TvrRun run;
  if (spawned != 0) throw std::runtime_error("cannot start " + std::string(TVR_CLI_BINARY));
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = test::readText(out);
  run.err = test::readText(err);
  return run;
}

// What the server refuses: each credential fault through the backend, answered 403 with its
// own error code and logged as refused; the right credentials pass on the same server.
TEST(S3SignatureCheckingTests, BackendWithWrongCredentialsIsRefused) {
  FaultServer server("s3", {"--bucket", "bucket"});
  struct Case {
    const char* name;
    const char* accessKey;
    const char* secret;
    std::optional<std::string> token;
    const char* code;  // nullptr: accepted
  };
  const Case cases[] = {
      {"right secret", FaultServer::kAccessKey, FaultServer::kSecret, std::nullopt, nullptr},
      {"wrong secret", FaultServer::kAccessKey, "not-the-secret", std::nullopt, "SignatureDoesNotMatch"},
      {"secret of another account", FaultServer::kAccessKey, FaultServer::kTemporarySecret, std::nullopt,
       "SignatureDoesNotMatch"},
      {"unknown access key", "NOBODY", FaultServer::kSecret, std::nullopt, "InvalidAccessKeyId"},
      {"temporary credentials with their token", FaultServer::kTemporaryAccessKey, FaultServer::kTemporarySecret,
       FaultServer::kSessionToken, nullptr},
      {"temporary credentials without their token", FaultServer::kTemporaryAccessKey, FaultServer::kTemporarySecret,
       std::nullopt, "InvalidToken"},
      {"temporary credentials with another token", FaultServer::kTemporaryAccessKey, FaultServer::kTemporarySecret,
       std::string("IQoJb3JpZ2luX2VjEH0aCXVzLWVhc3QtMSJHMEUCIQD+other/token=="), "InvalidToken"},
      {"token with a wrong secret", FaultServer::kTemporaryAccessKey, FaultServer::kSecret, FaultServer::kSessionToken,
       "SignatureDoesNotMatch"},
      {"token for permanent credentials", FaultServer::kAccessKey, FaultServer::kSecret, FaultServer::kSessionToken,
       "InvalidToken"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::size_t before = server.requests().size();
    S3RepositoryStorageBackend backend(server.configuration("bucket", c.accessKey, c.secret, c.token));
    if (!c.code) {
      EXPECT_FALSE(backend.objectExists(RepositoryObjectKey("repo.json")));
      EXPECT_EQ(backend.listObjectKeys(), std::vector<RepositoryObjectKey>{});
    } else {
      try {
        backend.objectExists(RepositoryObjectKey("repo.json"));
        ADD_FAILURE() << "HEAD accepted";
      } catch (const S3HTTPFailureError& error) {
        EXPECT_EQ(error.code(), 403);
        EXPECT_EQ(std::string(error.what()), "S3 HEAD failed with HTTP 403.");  // a HEAD answer has no body
      }
      try {
        backend.listObjectKeys();
        ADD_FAILURE() << "LIST accepted";
      } catch (const S3HTTPFailureError& error) {
        EXPECT_EQ(error.code(), 403);
        EXPECT_TRUE(
            std::string(error.what()).starts_with("S3 LIST failed with HTTP 403 (" + std::string(c.code) + "): "))
            << error.what();
        EXPECT_EQ(std::string(error.what()).find(c.secret), std::string::npos);
      }
    }
    auto requests = server.requests();
    ASSERT_EQ(requests.size() - before, 2u);  // refusals are HTTP answers: never retried
    for (std::size_t i = before; i < requests.size(); ++i) {
      if (c.code) {
        EXPECT_EQ(requests[i]["rejected"], c.code);
      } else {
        EXPECT_TRUE(requests[i]["rejected"].is_null()) << server.serverOutput();
      }
    }
  }
}

// The refusal does not hang on this project's signer: boto3 with a wrong secret is refused too.
TEST(S3SignatureCheckingTests, IndependentClientWithAWrongSecretIsRefused) {
  FaultServer server("s3", {"--bucket", "bucket"});
  EXPECT_EQ(server.client("bucket", {"list"}), "");  // the right secret: an empty bucket
  std::vector<std::string> argv{"/usr/bin/env",
                                "S3_CLIENT_SECRET=wrong-secret-value",
                                test::python3(),
                                std::string(TVR_SOURCE_DIR) + "/tests/s3/s3_client.py",
                                server.endpoint(),
                                "bucket",
                                "list"};
  try {
    test::runCommand(argv);
    ADD_FAILURE() << "boto3 with a wrong secret was answered";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("SignatureDoesNotMatch"), std::string::npos);
  }
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_TRUE(requests[0]["rejected"].is_null());
  EXPECT_EQ(requests[1]["rejected"], "SignatureDoesNotMatch");
}

// Requests changed after signing, sent straight through the HTTP session: the untouched ones
// pass, every change is caught.
TEST(S3SignatureCheckingTests, RequestsChangedAfterSigningAreRefused) {
  FaultServer server("s3", {"--bucket", "bucket"});
  TempDir scratch;
  writeText(scratch.path() / "signed.bin", "hello");
  writeText(scratch.path() / "other.bin", "HELLO");
  S3RequestSigner signer(server.configuration());
  auto session = std::make_shared<S3HTTPSession>();

  auto setHeader = [](S3SignedRequest& request, const std::string& name, const std::string& value) {
    for (auto& [headerName, headerValue] : request.headers) {
      if (headerName == name) headerValue = value;
    }
  };
  auto replaceInURL = [](const std::string& from, const std::string& to) {
    return [from, to](S3SignedRequest& request) {
      std::size_t at = request.url.find(from);
      ASSERT_NE(at, std::string::npos) << request.url;
      request.url.replace(at, from.size(), to);
    };
  };
  struct Case {
    const char* name;
    bool listing;  // GET of the bucket with a prefix; otherwise a PUT of "a~b/c d"
    std::function<void(S3SignedRequest&)> change;
    const char* upload = "signed.bin";
    std::chrono::minutes signedAgo{0};
    long status = 200;
    const char* code = nullptr;
  };
  const Case cases[] = {
      {"PUT as signed", false, [](S3SignedRequest&) {}},
      {"listing as signed", true, [](S3SignedRequest&) {}},
      {"no Authorization", false,
       [](S3SignedRequest& r) {
         r.headers.erase(std::remove_if(r.headers.begin(), r.headers.end(),
                                        [](const auto& header) { return header.first == "authorization"; }),
                         r.headers.end());
       },
       "signed.bin", std::chrono::minutes(0), 403, "SignatureDoesNotMatch"},
      {"garbled Authorization", false,
       [&](S3SignedRequest& r) { setHeader(r, "authorization", "AWS4-HMAC-SHA256 Signature=none"); }, "signed.bin",
       std::chrono::minutes(0), 403, "SignatureDoesNotMatch"},
      {"one signature digit changed", false,
       [&](S3SignedRequest& r) {
         std::string value = *r.header("authorization");
         value.back() = value.back() == '0' ? '1' : '0';
         setHeader(r, "authorization", value);
       },
       "signed.bin", std::chrono::minutes(0), 403, "SignatureDoesNotMatch"},
      {"date changed after signing", false,
       [&](S3SignedRequest& r) {
         std::string value = *r.header("x-amz-date");
         char& second = value[value.size() - 2];
         second = second == '0' ? '1' : '0';
         setHeader(r, "x-amz-date", value);
       },
       "signed.bin", std::chrono::minutes(0), 403, "SignatureDoesNotMatch"},
      {"another key than signed", false, replaceInURL("c%20d", "c%20e"), "signed.bin", std::chrono::minutes(0), 403,
       "SignatureDoesNotMatch"},
      {"tilde sent percent-encoded", false, replaceInURL("a~b", "a%7Eb"), "signed.bin", std::chrono::minutes(0), 403,
       "SignatureDoesNotMatch"},
      {"prefix changed after signing", true, replaceInURL("prefix=a%20b", "prefix=a%20c"), "signed.bin",
       std::chrono::minutes(0), 403, "SignatureDoesNotMatch"},
      {"query not in canonical encoding", true, replaceInURL("b~", "b%7E"), "signed.bin", std::chrono::minutes(0), 403,
       "SignatureDoesNotMatch"},
      {"unsigned x-amz header added", false,
       [](S3SignedRequest& r) {
         r.headers.insert(r.headers.begin(), {"x-amz-meta-note", "added"});
       },
       "signed.bin", std::chrono::minutes(0), 403, "AccessDenied"},
      {"session token added unsigned", false,
       [](S3SignedRequest& r) {
         r.headers.insert(r.headers.begin(), {"x-amz-security-token", "token"});
       },
       "signed.bin", std::chrono::minutes(0), 403, "InvalidToken"},
      {"another body than signed", false, [](S3SignedRequest&) {}, "other.bin", std::chrono::minutes(0), 400,
       "XAmzContentSHA256Mismatch"},
      {"signed twenty minutes ago", false, [](S3SignedRequest&) {}, "signed.bin", std::chrono::minutes(20), 403,
       "RequestTimeTooSkewed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto date = std::chrono::system_clock::now() - c.signedAgo;
    S3SignedRequest request =
        c.listing ? signer.signedRequest("GET", signer.bucketRequestTarget({{"list-type", "2"}, {"prefix", "a b~"}}),
                                         S3RequestSigner::emptyPayloadSHA256Hex(), {}, date)
                  : signer.signedRequest("PUT", signer.requestTarget(RepositoryObjectKey("a~b/c d")),
                                         S3RequestSigner::sha256Hex(scratch.path() / "signed.bin", 4096), {}, date);
    c.change(request);
    S3HTTPSession::Exchange exchange;
    if (!c.listing) exchange.uploadFrom = scratch.path() / c.upload;
    S3HTTPSession::Response response = session->send(request, exchange, CancellationToken::none());
    EXPECT_EQ(response.statusCode, c.status);
    std::string body(response.body.begin(), response.body.end());
    auto logged = server.requests().back();
    if (c.code) {
      EXPECT_NE(body.find("<Code>" + std::string(c.code) + "</Code>"), std::string::npos) << body;
      EXPECT_EQ(logged["rejected"], c.code);
    } else {
      EXPECT_TRUE(logged["rejected"].is_null()) << server.serverOutput();
    }
  }
  // Only the untouched PUT stored anything.
  S3RepositoryStorageBackend backend(server.configuration());
  EXPECT_EQ(rawKeys(backend.listObjectKeys()), (std::vector<std::string>{"a~b/c d"}));
  backend.readObject(RepositoryObjectKey("a~b/c d"), scratch.path() / "back.bin");
  EXPECT_EQ(test::readText(scratch.path() / "back.bin"), "hello");
}

// Round trips of unusual keys with permanent and with temporary credentials, path-style and
// virtual-hosted, read back by boto3 as well; the server accepts every request.
TEST(S3SignatureCheckingTests, BackendRoundTripsUnusualKeysWithEverySignatureAccepted) {
  FaultServer server(
      "s3", {"--bucket", "permanent", "--bucket", "temporary", "--bucket", "vhost", "--service-host", "s3.localhost"});
  const std::vector<std::string> keys = {
      "blobs/ab/a b+c.bin",
      "notes/d\xC3\xA9j\xC3\xA0 vu \xE2\x9C\x93.txt",
      "plus+plus",
      "x/~tilde_(paren)!*'.txt",
      "equals=and&amp;?.txt",
      "100% sure %2F not a slash",
      "nested/deeper/still/deeper/leaf",
      "a/./b//c/.",
      "inner  two  spaces",
      "q?a#b;c:d@e,f$g",
  };
  const std::vector<S3StorageConfiguration> configurations = {
      server.configuration("permanent"),
      server.configuration("temporary", FaultServer::kTemporaryAccessKey, FaultServer::kTemporarySecret,
                           FaultServer::kSessionToken),
      // Virtual-hosted style: the host carries the bucket (curl resolves *.localhost to loopback).
      S3StorageConfiguration::make("vhost", "us-east-1", "http://s3.localhost:" + std::to_string(server.port()),
                                   FaultServer::kAccessKey, FaultServer::kSecret, std::nullopt, false),
  };
  TempDir local;
  for (const auto& configuration : configurations) {
    SCOPED_TRACE(configuration.bucket);
    S3RepositoryStorageBackend backend(configuration);
    for (const auto& key : keys) {
      SCOPED_TRACE(key);
      writeText(local.path() / "up.bin", "content of " + key);
      auto size = static_cast<std::int64_t>(("content of " + key).size());
      EXPECT_EQ(backend.writeObject(local.path() / "up.bin", RepositoryObjectKey(key),
                                    RepositoryObjectWriteMode::createIfAbsent()),
                (RepositoryObjectWriteResult{Status::written, size}));
      EXPECT_EQ(backend.writeObject(local.path() / "up.bin", RepositoryObjectKey(key),
                                    RepositoryObjectWriteMode::createIfAbsent(size)),
                (RepositoryObjectWriteResult{Status::skippedExisting, size}));
      EXPECT_TRUE(backend.objectExists(RepositoryObjectKey(key)));
      backend.readObject(RepositoryObjectKey(key), local.path() / "down.bin");
      EXPECT_EQ(test::readText(local.path() / "down.bin"), "content of " + key);
    }
    // boto3 finds each object under its key.
    std::filesystem::create_directories(local.path() / "boto");
    std::vector<std::string> getMany{"get-many", (local.path() / "boto").string()};
    getMany.insert(getMany.end(), keys.begin(), keys.end());
    server.client(configuration.bucket, getMany);
    for (std::size_t i = 0; i < keys.size(); ++i) {
      EXPECT_EQ(test::readText(local.path() / "boto" / std::to_string(i)), "content of " + keys[i]);
    }
    auto sorted = keys;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(rawKeys(backend.listObjectKeys()), sorted);
    EXPECT_EQ(lines(server.client(configuration.bucket, {"list"})), sorted);
    EXPECT_EQ(rawKeys(backend.listObjectKeys("notes/d\xC3\xA9")),
              (std::vector<std::string>{"notes/d\xC3\xA9j\xC3\xA0 vu \xE2\x9C\x93.txt"}));
    EXPECT_EQ(rawKeys(backend.listObjectKeys("100% sure %2F")),
              (std::vector<std::string>{"100% sure %2F not a slash"}));

    // A body larger than one read buffer, replaced in place.
    std::string big(3 * 1024 * 1024 + 5, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 13 + (i >> 10)) % 251);
    writeText(local.path() / "big.bin", big);
    EXPECT_EQ(backend.writeObject(local.path() / "big.bin", RepositoryObjectKey("plus+plus"),
                                  RepositoryObjectWriteMode::replace()),
              (RepositoryObjectWriteResult{Status::written, static_cast<std::int64_t>(big.size())}));
    backend.readObject(RepositoryObjectKey("plus+plus"), local.path() / "big-back.bin");
    EXPECT_EQ(test::readText(local.path() / "big-back.bin"), big);

    for (const auto& key : keys) backend.deleteObject(RepositoryObjectKey(key));
    EXPECT_FALSE(backend.objectExists(RepositoryObjectKey("a/./b//c/.")));
    EXPECT_EQ(backend.listObjectKeys(), std::vector<RepositoryObjectKey>{});
  }
  EXPECT_EQ(server.rejections(), kNoRejections) << server.serverOutput();
}

// A listing of several pages: the backend follows each continuation token (opaque, with
// characters a query must encode) and gets every key once.
TEST(S3SignatureCheckingTests, ListingFollowsContinuationTokensAcrossPages) {
  FaultServer server("s3", {"--bucket", "paging", "--page-size", "4"});
  server.client("paging", {"put-many", "blobs/0a/k", "10"});
  server.client("paging", {"put-many", "other/", "3"});
  S3RepositoryStorageBackend backend(server.configuration("paging"));
  std::size_t before = server.requests().size();
  auto all = rawKeys(backend.listObjectKeys());
  auto requests = server.requests();
  ASSERT_EQ(all.size(), 13u);
  EXPECT_EQ(all, lines(server.client("paging", {"list"})));
  EXPECT_EQ(all.front(), "blobs/0a/k00000");
  EXPECT_EQ(all.back(), "other/00002");

  std::vector<std::string> tokens;
  for (std::size_t i = before; i < requests.size(); ++i) {
    for (const auto& item : requests[i]["query"]) {
      if (item[0] == "continuation-token") tokens.push_back(item[1]);
    }
  }
  ASSERT_EQ(tokens.size(), 3u);  // 13 keys in pages of 4
  EXPECT_EQ(std::set<std::string>(tokens.begin(), tokens.end()).size(), 3u);
  for (const auto& token : tokens) EXPECT_NE(token.find(' '), std::string::npos) << token;

  auto blobs = rawKeys(backend.listObjectKeys("blobs/"));
  ASSERT_EQ(blobs.size(), 10u);
  EXPECT_EQ(blobs.back(), "blobs/0a/k00009");
  EXPECT_EQ(rawKeys(backend.listObjectKeys("other/0000")),
            (std::vector<std::string>{"other/00000", "other/00001", "other/00002"}));
  EXPECT_EQ(server.rejections(), kNoRejections) << server.serverOutput();
}

// `tvr hydrate-s3` of the sample repository, uploaded by boto3: a session with permanent and
// one with temporary credentials end with a repository that verifies; a wrong secret ends
// with exit 7 after one refused request.
class HydrateS3SignatureTests : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    try {
      // Pages of four keys: the nine objects take three listing requests.
      server_ = new FaultServer("s3", {"--bucket", "repository", "--page-size", "4"});
      server_->client("repository", {"put-tree", kSample.string()});
    } catch (const std::exception& error) {
      setupFailure_ = error.what();
    }
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    if (!setupFailure_.empty()) GTEST_FAIL() << "fault_server.py could not be prepared: " << setupFailure_;
  }

  static std::vector<std::string> hydrate(const std::string& destination, const std::string& accessKey) {
    return {"hydrate-s3", destination,  "--bucket",          "repository",      "--region",
            "us-east-1",  "--endpoint", server_->endpoint(), "--access-key-id", accessKey};
  }

  static FaultServer* server_;
  static std::string setupFailure_;
};
FaultServer* HydrateS3SignatureTests::server_ = nullptr;
std::string HydrateS3SignatureTests::setupFailure_;

TEST_F(HydrateS3SignatureTests, HydratedRepositoryVerifies) {
  struct Case {
    const char* name;
    const char* accessKey;
    std::vector<std::string> environment;
  };
  const Case cases[] = {
      {"permanent credentials",
       FaultServer::kAccessKey,
       {"AWS_SECRET_ACCESS_KEY=" + std::string(FaultServer::kSecret)}},
      {"temporary credentials",
       FaultServer::kTemporaryAccessKey,
       {"AWS_SECRET_ACCESS_KEY=" + std::string(FaultServer::kTemporarySecret),
        "AWS_SESSION_TOKEN=" + std::string(FaultServer::kSessionToken)}},
  };
  std::size_t before = server_->requests().size();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir temporary;
    std::filesystem::path copy = temporary.path() / "copy";
    TvrRun hydrated = runTvr(hydrate(copy.string(), c.accessKey), c.environment);
    ASSERT_EQ(hydrated.status, 0) << hydrated.err << server_->serverOutput();
    EXPECT_EQ(hydrated.out, "Hydrated 9 objects\n");
    EXPECT_EQ(hydrated.err, "");
    EXPECT_EQ(treeContents(copy), treeContents(kSample));

    TvrRun verified = runTvr({"verify", copy.string(), "--recovery-password-file", kSamplePasswordFile}, {});
    EXPECT_EQ(verified.status, 0) << verified.err;
    EXPECT_NE(verified.out.find("Issues: 0\n"), std::string::npos) << verified.out;
  }
  auto requests = server_->requests();
  std::size_t listings = 0;
  for (std::size_t i = before; i < requests.size(); ++i) listings += requests[i]["path"] == "/repository";
  EXPECT_EQ(listings, 6u);  // three pages per session
  EXPECT_EQ(server_->rejections(before), kNoRejections) << server_->serverOutput();
}

TEST_F(HydrateS3SignatureTests, WrongSecretEndsWithExit7) {
  const std::string wrongSecret = "wrong-secret-value";
  const std::string message =
      "S3 LIST failed with HTTP 403 (SignatureDoesNotMatch): The request signature we calculated does not match the "
      "signature you provided.";
  TempDir temporary;
  std::filesystem::path destination = temporary.path() / "dest";
  std::size_t before = server_->requests().size();

  TvrRun text =
      runTvr(hydrate(destination.string(), FaultServer::kAccessKey), {"AWS_SECRET_ACCESS_KEY=" + wrongSecret});
  EXPECT_EQ(text.status, 7);
  EXPECT_EQ(text.out, "");
  EXPECT_TRUE(text.err.starts_with(message)) << text.err;
  EXPECT_EQ(text.err.find(wrongSecret), std::string::npos);

  auto args = hydrate(destination.string(), FaultServer::kAccessKey);
  args.insert(args.end(), {"--secret-access-key", wrongSecret, "--json", "--output", "text"});
  TvrRun json = runTvr(args, {});
  EXPECT_EQ(json.status, 7);
  ASSERT_FALSE(json.err.empty());
  nlohmann::json envelope = nlohmann::json::parse(json.err);
  EXPECT_EQ(envelope["code"], "provider_network_failed");
  EXPECT_EQ(envelope["category"], "network");
  EXPECT_EQ(envelope["exitCode"], 7);
  EXPECT_TRUE(envelope["message"].get<std::string>().starts_with(message)) << json.err;
  EXPECT_EQ(json.err.find(wrongSecret), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(destination));

  // One listing request per run, refused; nothing else was asked.
  auto requests = server_->requests();
  ASSERT_EQ(requests.size() - before, 2u);
  for (std::size_t i = before; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i]["method"], "GET");
    EXPECT_EQ(requests[i]["rejected"], "SignatureDoesNotMatch");
  }
  EXPECT_EQ(server_->serverOutput().find(wrongSecret), std::string::npos);
}

// A hydration broken off by a refused download keeps the objects it finished, each whole;
// the rerun with --overwrite true fetches only the blobs still missing (and the objects that
// change in place), and ends with a repository that verifies.
TEST(HydrateS3ResumeTests, InterruptedHydrationResumesWithOverwrite) {
  FaultServer server("s3", {"--bucket", "repository", "--deny-get-number", "3"});
  server.client("repository", {"put-tree", kSample.string()});
  TempDir temporary;
  std::filesystem::path copy = temporary.path() / "copy";
  std::vector<std::string> arguments{
      "hydrate-s3", copy.string(), "--bucket",        "repository",      "--region",
      "us-east-1",  "--endpoint",  server.endpoint(), "--access-key-id", FaultServer::kAccessKey};
  const std::vector<std::string> environment{"AWS_SECRET_ACCESS_KEY=" + std::string(FaultServer::kSecret)};
  const auto sample = treeContents(kSample);

  TvrRun interrupted = runTvr(arguments, environment);
  EXPECT_NE(interrupted.status, 0);
  EXPECT_NE(interrupted.err.find("S3 GET failed with HTTP 403 (AccessDenied): Access Denied."), std::string::npos)
      << interrupted.err;
  auto partial = treeContents(copy);
  EXPECT_LT(partial.size(), sample.size());
  for (const auto& [path, contents] : partial) {
    ASSERT_TRUE(sample.count(path)) << path;  // no temporary file left behind
    EXPECT_TRUE(contents == sample.at(path)) << path;
  }

  std::size_t before = server.requests().size();
  arguments.insert(arguments.end(), {"--overwrite", "true"});
  TvrRun resumed = runTvr(arguments, environment);
  ASSERT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_EQ(resumed.out, "Hydrated 9 objects\n");
  EXPECT_EQ(treeContents(copy), sample);

  std::set<std::string> fetched, expected;
  auto requests = server.requests();
  for (std::size_t i = before; i < requests.size(); ++i) {
    std::string path = requests[i]["path"];
    if (requests[i]["method"] == "GET" && path != "/repository") fetched.insert(path.substr(strlen("/repository/")));
  }
  for (const auto& [key, contents] : sample) {
    if (!key.starts_with("blobs/") || !partial.count(key)) expected.insert(key);
  }
  EXPECT_EQ(fetched, expected);

  TvrRun verified = runTvr({"verify", copy.string(), "--recovery-password-file", kSamplePasswordFile}, {});
  EXPECT_EQ(verified.status, 0) << verified.err;
  EXPECT_NE(verified.out.find("Issues: 0\n"), std::string::npos) << verified.out;
  EXPECT_EQ(server.rejections(), kNoRejections) << server.serverOutput();
}

}  // namespace
}  // namespace tvr
