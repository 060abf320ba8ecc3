#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/s3/S3ErrorDomains.h"
#include "engine/s3/S3RequestSigner.h"
#include "engine/s3/S3RetryPolicy.h"
#include "platform/Bytes.h"
#include "platform/Cancellation.h"

namespace tvr {

// The HTTP client of the S3 backend, over libcurl's easy interface. One `send` is one HTTP
// exchange. Idle easy handles are pooled so consecutive requests reuse their connections.
// Thread-safe: each exchange takes a handle of its own. Only http and https are spoken and
// redirects are not followed. A failed exchange (connection, timeout, broken transfer)
// throws tvr::Error of domain "HTTPClient" (code = the curl error); a cancellation noticed
// during the exchange aborts the transfer and throws CancellationError. An HTTP answer of
// any status is a successful exchange. Failures that are not the exchange's own (the upload
// file cannot be read, the body consumer throws) come out wrapped in
// S3RetryPolicy::FinalFailure so they are not retried. No exception crosses a curl callback.
class S3HTTPSession {
 public:
  static constexpr const char* kTransportErrorDomain = kS3HTTPClientErrorDomain;
  // Error bodies kept in memory, at most.
  static constexpr std::size_t kMaximumRetainedBody = 65536;

  struct Exchange {
    // The request body streams from this file (reopened on every exchange): the whole file,
    // or with `uploadRange` the `length` bytes at `offset` (one part of a multipart upload).
    std::optional<std::filesystem::path> uploadFrom;
    struct Range {
      std::uint64_t offset = 0;
      std::uint64_t length = 0;
    };
    std::optional<Range> uploadRange;
    // A small request body held in memory (POST), sent as it is.
    std::optional<std::string> body;
    // Receives the body of a 200 answer as it arrives; when empty, or for any other status,
    // the first kMaximumRetainedBody bytes are kept in Response::body instead. Exceptions it
    // throws abort the transfer and come out of `send`.
    std::function<void(const char* data, std::size_t size)> onSuccessBody;
  };

  struct Response {
    long statusCode = 0;                         // 0: the answer was not HTTP
    std::map<std::string, std::string> headers;  // lowercase names, of the final answer
    Bytes body;                                  // see Exchange::onSuccessBody

    const std::string* header(const std::string& lowercaseName) const;
  };

  S3HTTPSession();
  ~S3HTTPSession();
  S3HTTPSession(const S3HTTPSession&) = delete;
  S3HTTPSession& operator=(const S3HTTPSession&) = delete;

  // The process-wide session.
  static std::shared_ptr<S3HTTPSession> shared();

  Response send(const S3SignedRequest& request, const Exchange& exchange, const CancellationToken& cancel);

 private:
  void* takeHandle();
  void returnHandle(void* handle);

  std::mutex mutex_;
  std::vector<void*> idleHandles_;
};

}  // namespace tvr
