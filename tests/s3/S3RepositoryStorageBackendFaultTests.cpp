#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "engine/s3/S3HTTPFailureError.h"
#include "engine/s3/S3HTTPSession.h"
#include "engine/s3/S3RepositoryStorageBackend.h"
#include "platform/Error.h"
#include "tests/support/FaultServer.h"
#include "tests/support/Files.h"
#include "tests/support/Process.h"
#include "tests/support/RecordingStorageBackend.h"
#include "tests/support/TempDir.h"

namespace tvr {
namespace {

using test::writeText;
using Status = RepositoryObjectWriteResult::Status;
using test::TempDir;

using test::FaultServer;

// A retry policy that records its waits instead of sleeping, without jitter unless asked.
struct RecordingPolicy {
  std::shared_ptr<std::vector<std::uint64_t>> delays = std::make_shared<std::vector<std::uint64_t>>();
  S3RetryPolicy policy(bool jitter = false) const {
    S3RetryPolicy policy{3, 250'000'000, {}};
    auto recorded = delays;
    policy.sleeper = [recorded](std::uint64_t nanoseconds, const CancellationToken&) {
      recorded->push_back(nanoseconds);
    };
    if (!jitter) policy.jitter = [](std::uint64_t delay) { return delay; };
    return policy;
  }
};

const std::vector<std::uint64_t> kFullBackOff{250'000'000, 500'000'000, 1'000'000'000};

std::size_t entryCount(const std::filesystem::path& directory) {
  return static_cast<std::size_t>(
      std::distance(std::filesystem::directory_iterator(directory), std::filesystem::directory_iterator()));
}

// Every operation, run once against the backend.
struct Operation {
  const char* name;
  const char* method;
  std::function<void(S3RepositoryStorageBackend&, const std::filesystem::path& scratch)> run;
};

const std::vector<Operation>& operations() {
  static const std::vector<Operation> all = {
      {"objectExists", "HEAD",
       [](S3RepositoryStorageBackend& b, const std::filesystem::path&) {
         b.objectExists(RepositoryObjectKey("repo.json"));
       }},
      {"readObject", "GET",
       [](S3RepositoryStorageBackend& b, const std::filesystem::path& scratch) {
         b.readObject(RepositoryObjectKey("repo.json"), scratch / "dest" / "repo.json");
       }},
      {"writeObject", "PUT",
       [](S3RepositoryStorageBackend& b, const std::filesystem::path& scratch) {
         writeText(scratch / "upload.bin", "payload");
         b.writeObject(scratch / "upload.bin", RepositoryObjectKey("repo.json"), RepositoryObjectWriteMode::replace());
       }},
      {"deleteObject", "DELETE",
       [](S3RepositoryStorageBackend& b, const std::filesystem::path&) {
         b.deleteObject(RepositoryObjectKey("repo.json"));
       }},
      {"listObjectKeys", "GET",
       [](S3RepositoryStorageBackend& b, const std::filesystem::path&) { b.listObjectKeys("blobs/"); }},
  };
  return all;
}

TEST(S3RepositoryStorageBackendFaultTests, TransportFailuresAreRetriedFourTimesWithBackOff) {
  for (const Operation& operation : operations()) {
    SCOPED_TRACE(operation.name);
    FaultServer server("reset");
    TempDir scratch;
    RecordingPolicy recording;
    S3RepositoryStorageBackend backend(server.configuration(), nullptr, recording.policy());
    try {
      operation.run(backend, scratch.path());
      ADD_FAILURE() << "no error";
    } catch (const Error& error) {
      EXPECT_EQ(error.domain(), S3HTTPSession::kTransportErrorDomain) << error.what();
      EXPECT_EQ(std::string(error.what()).find("fault-secret-value"), std::string::npos);
    }
    auto requests = server.requests();
    EXPECT_EQ(requests.size(), 4u);
    for (const auto& request : requests) EXPECT_EQ(request["method"], operation.method);
    // The request is signed once: every attempt carries the same date and signature.
    for (const auto& request : requests) {
      EXPECT_EQ(request["headers"]["authorization"], requests.front()["headers"]["authorization"]);
      EXPECT_EQ(request["headers"]["x-amz-date"], requests.front()["headers"]["x-amz-date"]);
    }
    EXPECT_EQ(*recording.delays, (std::vector<std::uint64_t>{250'000'000, 500'000'000, 1'000'000'000}));
    EXPECT_FALSE(std::filesystem::exists(scratch.path() / "dest" / "repo.json"));
    EXPECT_EQ(server.rejections(), std::vector<std::string>{}) << server.serverOutput();
  }
}

TEST(S3RepositoryStorageBackendFaultTests, BusyAnswersAreRetriedLikeTransportFailures) {
  const std::map<std::string, std::string> messages = {
      {"objectExists", "S3 HEAD failed with HTTP 503."},
      {"readObject", "S3 GET failed with HTTP 503 (SlowDown): Please reduce your request rate."},
      {"writeObject", "S3 PUT failed with HTTP 503 (SlowDown): Please reduce your request rate."},
      {"deleteObject", "S3 DELETE failed with HTTP 503 (SlowDown): Please reduce your request rate."},
      {"listObjectKeys", "S3 LIST failed with HTTP 503 (SlowDown): Please reduce your request rate."},
  };
  FaultServer server("status:503");
  for (const Operation& operation : operations()) {
    SCOPED_TRACE(operation.name);
    std::size_t before = server.requests().size();
    TempDir scratch;
    RecordingPolicy recording;
    S3RepositoryStorageBackend backend(server.configuration(), nullptr, recording.policy());
    try {
      operation.run(backend, scratch.path());
      ADD_FAILURE() << "no error";
    } catch (const S3HTTPFailureError& error) {
      EXPECT_EQ(error.domain(), "S3RepositoryStorageBackend");
      EXPECT_EQ(error.code(), 503);
      EXPECT_EQ(std::string(error.what()), messages.at(operation.name));
      if (std::string(operation.name) != "objectExists") {
        EXPECT_EQ(error.details().at("S3RequestID"), "F1");
      }
    }
    EXPECT_EQ(server.requests().size() - before, 4u);
    EXPECT_EQ(server.rejections(), std::vector<std::string>{}) << server.serverOutput();
    EXPECT_EQ(*recording.delays, kFullBackOff);
  }
}

TEST(S3RepositoryStorageBackendFaultTests, WhichAnswersAreRetried) {
  struct Case {
    long status;
    const char* code;      // of the error document
    std::size_t attempts;  // of a GET, whose error body is read
  };
  const Case cases[] = {{500, "InternalError", 4}, {502, "BadGateway", 4},    {504, "GatewayTimeout", 4},
                        {429, "SlowDown", 4},      {400, "BadDigest", 1},     {403, "AccessDenied", 1},
                        {404, "NoSuchKey", 1},     {501, "NotImplemented", 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    FaultServer server("status:" + std::to_string(c.status) + ":" + c.code);
    TempDir scratch;
    RecordingPolicy recording;
    S3RepositoryStorageBackend backend(server.configuration(), nullptr, recording.policy());
    try {
      backend.readObject(RepositoryObjectKey("repo.json"), scratch.path() / "repo.json");
      ADD_FAILURE() << "no error";
    } catch (const S3HTTPFailureError& error) {
      EXPECT_EQ(error.code(), c.status);
    }
    EXPECT_EQ(server.requests().size(), c.attempts);
    EXPECT_EQ(recording.delays->size(), c.attempts - 1);
    EXPECT_TRUE(std::filesystem::is_empty(scratch.path()));
  }
}

TEST(S3RepositoryStorageBackendFaultTests, BusyReadsAreRetriedAndThenSucceed) {
  // Every read path answers 503 twice before it is served.
  FaultServer server("s3", {"--bucket", "bucket", "--busy-first", "2"});
  TempDir scratch;
  writeText(scratch.path() / "upload.bin", "payload");
  RecordingPolicy recording;
  S3RepositoryStorageBackend backend(server.configuration(), nullptr, recording.policy(true));
  backend.writeObject(scratch.path() / "upload.bin", RepositoryObjectKey("blobs/aa/x"),
                      RepositoryObjectWriteMode::replace());

  backend.readObject(RepositoryObjectKey("blobs/aa/x"), scratch.path() / "out" / "x");
  EXPECT_EQ(test::readText(scratch.path() / "out" / "x"), "payload");
  EXPECT_EQ(entryCount(scratch.path() / "out"), 1u);  // no temporary file left beside it
  auto keys = backend.listObjectKeys();
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].rawValue(), "blobs/aa/x");

  std::vector<std::string> seen;
  for (const auto& request : server.requests()) seen.push_back(request["method"].get<std::string>());
  EXPECT_EQ(seen, (std::vector<std::string>{"PUT", "GET", "GET", "GET", "GET", "GET", "GET"}));
  // Two waits per read, each between half and all of the doubling delay.
  ASSERT_EQ(recording.delays->size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    std::uint64_t full = kFullBackOff[i % 2];
    EXPECT_GE((*recording.delays)[i], full / 2);
    EXPECT_LE((*recording.delays)[i], full);
  }
  EXPECT_EQ(server.rejections(), std::vector<std::string>{}) << server.serverOutput();
}

TEST(S3RepositoryStorageBackendFaultTests, BrokenDownloadsLeaveNoPartialFile) {
  FaultServer server("short-body");
  TempDir scratch;
  TempDir downloads;
  const char* savedTmp = getenv("TMPDIR");
  std::string saved = savedTmp ? savedTmp : "";
  setenv("TMPDIR", downloads.path().c_str(), 1);
  auto destination = scratch.path() / "repo.json";
  writeText(destination, "old contents");
  RecordingPolicy recording;
  S3RepositoryStorageBackend backend(server.configuration(), nullptr, recording.policy());
  EXPECT_THROW(backend.readObject(RepositoryObjectKey("repo.json"), destination), Error);
  EXPECT_THROW(backend.readObject(RepositoryObjectKey("fresh"), scratch.path() / "fresh"), Error);
  if (savedTmp) {
    setenv("TMPDIR", saved.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
  EXPECT_EQ(server.requests().size(), 8u);
  EXPECT_EQ(server.rejections(), std::vector<std::string>{}) << server.serverOutput();
  EXPECT_EQ(test::readText(destination), "old contents");
  EXPECT_EQ(entryCount(scratch.path()), 1u);    // no temporary sibling, no "fresh"
  EXPECT_EQ(entryCount(downloads.path()), 0u);  // the client's download file is gone too
}

TEST(S3RepositoryStorageBackendFaultTests, MalformedListingFailsWithTheParserErrorOnce) {
  FaultServer server("malformed-listing");
  RecordingPolicy recording;
  S3RepositoryStorageBackend backend(server.configuration(), nullptr, recording.policy());
  try {
    backend.listObjectKeys();
    ADD_FAILURE() << "listed";
  } catch (const Error& error) {
    EXPECT_EQ(error.domain(), "XMLParser");
  }
  EXPECT_EQ(server.rejections(), std::vector<std::string>{}) << server.serverOutput();
  EXPECT_EQ(server.requests().size(), 1u);
  EXPECT_TRUE(recording.delays->empty());
}

TEST(S3RepositoryStorageBackendFaultTests, ListingFollowsTheContinuationToken) {
  FaultServer server("pages");
  S3RepositoryStorageBackend backend(server.configuration());
  auto keys = backend.listObjectKeys("p/");
  EXPECT_EQ(test::rawKeys(keys), (std::vector<std::string>{"a/1", "b/2", "c/3"}));
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0]["path"], "/bucket");
  EXPECT_EQ(requests[0]["query"], nlohmann::json::parse(R"([["list-type","2"],["prefix","p/"]])"));
  EXPECT_EQ(requests[1]["query"],
            nlohmann::json::parse(R"([["list-type","2"],["prefix","p/"],["continuation-token","t 1+/="]])"));
  // Without a prefix none is sent.
  backend.listObjectKeys();
  EXPECT_EQ(server.requests()[2]["query"], nlohmann::json::parse(R"([["list-type","2"]])"));
  EXPECT_EQ(server.rejections(), std::vector<std::string>{}) << server.serverOutput();
}

TEST(S3RepositoryStorageBackendFaultTests, ListingsThatDoNotMoveOnAreRefused) {
  struct Case {
    const char* kind;
    std::size_t requests;
    std::string message;
  };
  const Case cases[] = {
      {"cycle", 3, "S3 listing returned the same continuation token twice."},
      {"stuck", 2, "S3 listing returned a page without new keys that leads to another page."},
      {"oversized", 1, "S3 listing page holds more than 1000 keys."},
      {"no-token", 1, "S3 listing is truncated but gave no continuation token."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    FaultServer server(std::string("listing:") + c.kind);
    S3RepositoryStorageBackend backend(server.configuration());
    try {
      backend.listObjectKeys();
      ADD_FAILURE() << "listed";
    } catch (const EngineError& error) {
      EXPECT_EQ(error.kind(), EngineError::Case::ioError);
      EXPECT_EQ(std::string(error.what()), c.message);
    }
    EXPECT_EQ(server.requests().size(), c.requests);
  }

  // "IsTruncated" false ends the listing even beside a token.
  FaultServer server("listing:done-with-token");
  S3RepositoryStorageBackend backend(server.configuration());
  auto listed = backend.listObjectsWithSizes();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed.key(0), "k/0");
  EXPECT_EQ(listed.objectSize(0), 1);
  EXPECT_EQ(server.requests().size(), 1u);
}

TEST(S3RepositoryStorageBackendFaultTests, PreconditionFailedIsResolvedByASecondHead) {
  TempDir scratch;
  writeText(scratch.path() / "blob", "12345");
  {
    FaultServer server("precondition");
    S3RepositoryStorageBackend backend(server.configuration());
    EXPECT_EQ(backend.writeObject(scratch.path() / "blob", RepositoryObjectKey("blobs/ab/ab"),
                                  RepositoryObjectWriteMode::createIfAbsent()),
              (RepositoryObjectWriteResult{Status::skippedExisting, 5}));
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0]["method"], "HEAD");
    EXPECT_EQ(requests[1]["method"], "PUT");
    EXPECT_EQ(requests[1]["headers"]["if-none-match"], "*");
    EXPECT_EQ(requests[2]["method"], "HEAD");
    EXPECT_EQ(server.rejections(), std::vector<std::string>{}) << server.serverOutput();
  }
  {
    FaultServer server("precondition-gone");
    S3RepositoryStorageBackend backend(server.configuration());
    try {
      backend.writeObject(scratch.path() / "blob", RepositoryObjectKey("blobs/ab/ab"),
                          RepositoryObjectWriteMode::createIfAbsent(5));
      ADD_FAILURE() << "written";
    } catch (const S3HTTPFailureError& error) {
      EXPECT_EQ(error.code(), 412);
      EXPECT_EQ(std::string(error.what()), "S3 PUT failed with HTTP 412 (PreconditionFailed).");
    }
    EXPECT_EQ(server.rejections(), std::vector<std::string>{}) << server.serverOutput();
  }
}

TEST(S3RepositoryStorageBackendFaultTests, SizeCheckReadsASignedDecimalContentLength) {
  struct Case {
    const char* length;
    std::optional<std::string> message;  // absent: skipped as existing
  };
  // (A negative length never reaches the check: curl refuses that answer as a broken
  // exchange.)
  const Case cases[] = {
      {"5", std::nullopt},
      {"+5", std::nullopt},
      {"6", "Remote object blobs/ab/ab exists with size 6, expected 5."},
      {"5x", "Remote object blobs/ab/ab exists with size unknown, expected 5."},
      {"99999999999999999999", "Remote object blobs/ab/ab exists with size unknown, expected 5."},
  };
  TempDir scratch;
  writeText(scratch.path() / "blob", "12345");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    FaultServer server(std::string("length:") + c.length);
    RecordingPolicy recording;
    S3RepositoryStorageBackend backend(server.configuration(), nullptr, recording.policy());
    try {
      auto result = backend.writeObject(scratch.path() / "blob", RepositoryObjectKey("blobs/ab/ab"),
                                        RepositoryObjectWriteMode::createIfAbsent());
      EXPECT_FALSE(c.message.has_value()) << "accepted";
      EXPECT_EQ(result, (RepositoryObjectWriteResult{Status::skippedExisting, 5}));
    } catch (const EngineError& error) {
      ASSERT_TRUE(c.message.has_value()) << error.what();
      EXPECT_EQ(std::string(error.what()), *c.message);
    }
    // Whatever the answer, nothing was uploaded.
    for (const auto& request : server.requests()) EXPECT_EQ(request["method"], "HEAD");
    EXPECT_EQ(server.rejections(), std::vector<std::string>{}) << server.serverOutput();
  }
}

TEST(S3RepositoryStorageBackendFaultTests, RequestsCarryOnlyTheSignedHeaders) {
  FaultServer server("accept");
  TempDir scratch;
  writeText(scratch.path() / "file", "Welcome to Amazon S3.");
  S3RepositoryStorageBackend backend(server.configuration());
  EXPECT_EQ(backend.writeObject(scratch.path() / "file", RepositoryObjectKey("dir/a b+c"),
                                RepositoryObjectWriteMode::replace()),
            (RepositoryObjectWriteResult{Status::written, 21}));
  backend.deleteObject(RepositoryObjectKey("dir/a b+c"));
  // Dot segments and empty segments are part of a key and reach the server unchanged.
  backend.deleteObject(RepositoryObjectKey("a/./b//c/."));
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[2]["path"], "/bucket/a/./b//c/.");
  std::set<std::string> names;
  for (const auto& [name, value] : requests[0]["headers"].items()) names.insert(name);
  EXPECT_EQ(names,
            (std::set<std::string>{"authorization", "content-length", "host", "x-amz-content-sha256", "x-amz-date"}));
  EXPECT_EQ(requests[0]["path"], "/bucket/dir/a%20b%2Bc");
  EXPECT_EQ(requests[0]["headers"]["x-amz-content-sha256"],
            "44ce7dd67c959e0d3524ffac1771dfbba87d2b6b4b4e99e42034a8b803f8b072");
  EXPECT_EQ(requests[0]["headers"]["content-length"], "21");
  EXPECT_EQ(requests[1]["method"], "DELETE");
  EXPECT_EQ(requests[1]["headers"]["x-amz-content-sha256"], S3RequestSigner::emptyPayloadSHA256Hex());
  EXPECT_EQ(server.rejections(), std::vector<std::string>{}) << server.serverOutput();
}

TEST(S3RepositoryStorageBackendFaultTests, CancellationStopsBeforeAndBetweenAttempts) {
  FaultServer server("reset");
  TempDir scratch;
  {
    CancellationToken cancel;
    cancel.cancel();
    S3RepositoryStorageBackend backend(server.configuration());
    for (const Operation& operation : operations()) {
      SCOPED_TRACE(operation.name);
      // Run each with the cancelled token through a small adapter.
      EXPECT_THROW(
          {
            if (std::string(operation.method) == "HEAD")
              backend.objectExists(RepositoryObjectKey("k"), cancel);
            else if (std::string(operation.name) == "readObject")
              backend.readObject(RepositoryObjectKey("k"), scratch.path() / "k", cancel);
            else if (std::string(operation.method) == "PUT")
              backend.writeObject(scratch.path() / "missing", RepositoryObjectKey("k"),
                                  RepositoryObjectWriteMode::replace(), cancel);
            else if (std::string(operation.method) == "DELETE")
              backend.deleteObject(RepositoryObjectKey("k"), cancel);
            else
              backend.listObjectKeys(std::nullopt, cancel);
          },
          CancellationError);
    }
    EXPECT_TRUE(server.requests().empty());
  }
  {
    // Cancelled while waiting to retry: no further attempt.
    CancellationToken cancel;
    S3RetryPolicy policy{3, 250'000'000, {}};
    int waits = 0;
    policy.sleeper = [&](std::uint64_t, const CancellationToken& token) {
      ++waits;
      cancel.cancel();
      token.sleepFor(std::chrono::hours(1));  // wakes at once: the token is cancelled
    };
    S3RepositoryStorageBackend backend(server.configuration(), nullptr, policy);
    EXPECT_THROW(backend.objectExists(RepositoryObjectKey("k"), cancel), CancellationError);
    EXPECT_EQ(waits, 1);
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.rejections(), std::vector<std::string>{}) << server.serverOutput();
  }
}

TEST(S3RepositoryStorageBackendFaultTests, CancellationAbortsARunningTransfer) {
  FaultServer server("stall");
  TempDir scratch;
  CancellationToken cancel;
  std::thread canceller([&] {
    // Wait (bounded) until the server has the request, then cancel mid-body.
    for (int i = 0; i < 600 && server.requests().empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    cancel.cancel();
  });
  S3RepositoryStorageBackend backend(server.configuration());
  EXPECT_THROW(backend.readObject(RepositoryObjectKey("repo.json"), scratch.path() / "repo.json", cancel),
               CancellationError);
  canceller.join();
  EXPECT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.rejections(), std::vector<std::string>{}) << server.serverOutput();
  EXPECT_EQ(entryCount(scratch.path()), 0u);
}

TEST(S3RepositoryStorageBackendFaultTests, BackOffArithmetic) {
  S3RetryPolicy policy{3, 250'000'000, {}};
  EXPECT_EQ(policy.delay(0), 250'000'000u);
  EXPECT_EQ(policy.delay(1), 500'000'000u);
  EXPECT_EQ(policy.delay(2), 1'000'000'000u);
  EXPECT_EQ(policy.delay(63), UINT64_MAX);  // saturates instead of wrapping
  EXPECT_EQ(policy.delay(200), UINT64_MAX);
  EXPECT_EQ(policy, (S3RetryPolicy{3, 250'000'000, [](std::uint64_t, const CancellationToken&) {}}));
  EXPECT_FALSE(policy == (S3RetryPolicy{2, 250'000'000, {}}));
}

// A failure that is not the exchange's own ends the retries at once and comes out as it was
// thrown; the wrapper itself reads as the engine error it carries.
TEST(S3RepositoryStorageBackendFaultTests, FinalFailurePassesTheWrappedErrorOnUnretried) {
  S3RetryPolicy policy{3, 0, [](std::uint64_t, const CancellationToken&) {}};
  int attempts = 0;
  try {
    policy.retrying(CancellationToken(), [&]() -> int {
      ++attempts;
      throw S3RetryPolicy::FinalFailure(std::make_exception_ptr(PosixError("open", ENOENT, "/upload")));
    });
    ADD_FAILURE() << "returned";
  } catch (const S3RetryPolicy::FinalFailure&) {
    ADD_FAILURE() << "the wrapper escaped";
  } catch (const PosixError& error) {
    EXPECT_EQ(error.err(), ENOENT);
    EXPECT_EQ(error.message(), "open failed for /upload: No such file or directory.");
  }
  EXPECT_EQ(attempts, 1);

  const S3RetryPolicy::FinalFailure wrapped(std::make_exception_ptr(EngineError::ioError("The part is gone.")));
  const Error& asError = wrapped;
  EXPECT_EQ(asError.domain(), "EngineError");
  EXPECT_EQ(asError.message(), "The part is gone.");
}

}  // namespace
}  // namespace tvr
