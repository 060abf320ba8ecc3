#pragma once

#include <map>
#include <optional>
#include <string>

#include "engine/s3/S3ErrorDomains.h"
#include "engine/s3/S3ProviderError.h"
#include "platform/Error.h"

namespace tvr {

// An S3 request answered with a status its operation does not accept. Domain
// "S3RepositoryStorageBackend", code = the HTTP status, message "S3 <method> failed with HTTP
// <status>[ (<code>)][: <message>]." The details name the method, the object key (for a
// listing the prefix or ""), and what the provider's error document gave; never a secret.
class S3HTTPFailureError : public Error {
 public:
  static constexpr const char* kDomain = kS3RepositoryStorageBackendErrorDomain;

  S3HTTPFailureError(std::string method, std::string objectKey, long statusCode,
                     std::optional<S3ProviderError> provider);

  // Builds the error from a response body (absent when there was none).
  static S3HTTPFailureError fromResponse(const std::string& method, const std::string& objectKey, long statusCode,
                                         const std::optional<Bytes>& body);

  long statusCode() const noexcept { return code(); }
  const std::string& method() const noexcept { return method_; }
  const std::string& objectKey() const noexcept { return objectKey_; }
  const std::optional<S3ProviderError>& provider() const noexcept { return provider_; }

  // "NSLocalizedDescription" (the message), "S3Method", "S3ObjectKey", and when present
  // "S3ErrorCode", "S3ErrorMessage", "S3RequestID".
  std::map<std::string, std::string> details() const;

 private:
  std::string method_;
  std::string objectKey_;
  std::optional<S3ProviderError> provider_;
};

}  // namespace tvr
