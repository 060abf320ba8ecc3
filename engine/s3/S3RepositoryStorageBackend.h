#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/s3/S3HTTPSession.h"
#include "engine/s3/S3RequestSigner.h"
#include "engine/s3/S3RetryPolicy.h"
#include "engine/s3/S3StorageConfiguration.h"
#include "engine/storage/RepositoryStorageBackend.h"

namespace tvr {

// When writeObject switches from one PUT to a multipart upload, and the size of its parts.
struct S3MultipartSettings {
  static constexpr std::int64_t kMebibyte = 1024 * 1024;
  // Objects larger than this are uploaded in parts (a single PUT stops at 5 GB on AWS).
  std::int64_t threshold = 64 * kMebibyte;
  // Grown (in whole MiB) where a file would need more than kMaximumParts parts.
  std::int64_t partSize = 64 * kMebibyte;
  static constexpr std::int64_t kMaximumParts = 10000;
};

// The repository storage backend over an S3-compatible bucket: HEAD for existence, PUT
// streamed from a file (create-if-absent through a HEAD and "if-none-match: *"), GET
// streamed to a temporary file and then copied atomically into place, DELETE, and
// ListObjectsV2 pages parsed as they arrive. Object keys map to object names unchanged.
// Files above the multipart threshold are uploaded in parts: create the upload, PUT each
// part streamed from its range of the file with its own payload digest, complete it (with
// "if-none-match: *" for create-if-absent); any failure aborts the upload, so no parts are
// left behind, and is thrown. A completion answered 200 with an error document fails too.
// Immutable after construction and safe to use from several threads at once (each call
// runs its exchanges one after another on the shared session). Transport failures and the
// answers of a busy service (500, 502, 503, 504, SlowDown) are retried by the retry policy;
// other HTTP answers never are. Listings refuse to go round in circles. Throws S3HTTPFailureError for
// unexpected statuses, the session's "HTTPClient" error after the last retry,
// CancellationError, EngineError.ioError (endpoint, sizes, keys, non-HTTP answers) and
// file system errors. No message or detail ever contains a secret.
class S3RepositoryStorageBackend final : public RepositoryStorageBackend {
 public:
  using Clock = std::function<std::chrono::system_clock::time_point()>;

  explicit S3RepositoryStorageBackend(S3StorageConfiguration configuration,
                                      std::shared_ptr<S3HTTPSession> session = S3HTTPSession::shared(),
                                      S3RetryPolicy retryPolicy = S3RetryPolicy{}, Clock clock = {},
                                      S3MultipartSettings multipart = {});

  const S3StorageConfiguration& configuration() const noexcept { return signer_.configuration(); }
  const S3RequestSigner& signer() const noexcept { return signer_; }
  const S3RetryPolicy& retryPolicy() const noexcept { return retryPolicy_; }
  const S3MultipartSettings& multipartSettings() const noexcept { return multipart_; }

  std::string displayName() const override { return "S3"; }

  bool objectExists(const RepositoryObjectKey& key,
                    const CancellationToken& cancel = CancellationToken::none()) override;
  RepositoryObjectWriteResult writeObject(const std::filesystem::path& from, const RepositoryObjectKey& key,
                                          const RepositoryObjectWriteMode& mode,
                                          const CancellationToken& cancel = CancellationToken::none()) override;
  void readObject(const RepositoryObjectKey& key, const std::filesystem::path& to,
                  const CancellationToken& cancel = CancellationToken::none()) override;
  void deleteObject(const RepositoryObjectKey& key,
                    const CancellationToken& cancel = CancellationToken::none()) override;
  std::vector<RepositoryObjectKey> listObjectKeys(const std::optional<std::string>& prefix = std::nullopt,
                                                  const CancellationToken& cancel = CancellationToken::none()) override;
  // ListObjectsV2 pages in sequence, with the sizes the pages give.
  RepositoryObjectKeyList listObjectsWithSizes(const std::optional<std::string>& prefix = std::nullopt,
                                               const CancellationToken& cancel = CancellationToken::none()) override;
  // Each download is mostly waiting on the network: several at once hide the round trips.
  unsigned preferredTransferConcurrency() const override { return kDefaultConcurrentTransfers; }

  static constexpr unsigned kDefaultConcurrentTransfers = 16;

 private:
  bool objectExistsWithExpectedSize(const RepositoryObjectKey& key, std::int64_t expectedSize,
                                    const CancellationToken& cancel);
  S3SignedRequest signedRequest(const std::string& method, const S3RequestSigner::RequestTarget& target,
                                const std::string& payloadSHA256Hex,
                                const std::map<std::string, std::string>& extraHeaders) const;
  // One request through the retry policy; a non-HTTP answer fails here.
  S3HTTPSession::Response send(const S3SignedRequest& request,
                               const std::function<S3HTTPSession::Exchange()>& makeExchange,
                               const CancellationToken& cancel);

  // The parts of a multipart upload; returns the status of the completion (200 or 412).
  long uploadInParts(const std::filesystem::path& from, const RepositoryObjectKey& key, std::int64_t size,
                     bool createIfAbsent, const CancellationToken& cancel);
  // Best effort: its own failure is dropped for the one that made the upload stop.
  void abortUpload(const RepositoryObjectKey& key, const std::string& uploadID);

  S3RequestSigner signer_;
  std::shared_ptr<S3HTTPSession> session_;
  S3RetryPolicy retryPolicy_;
  Clock clock_;
  S3MultipartSettings multipart_;
};

}  // namespace tvr
