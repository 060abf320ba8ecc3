#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/s3/S3StorageConfiguration.h"
#include "engine/storage/RepositoryObjectKey.h"
#include "platform/Bytes.h"

namespace tvr {

// One item of a request's query: a name and a value (possibly empty).
struct S3QueryItem {
  std::string name;
  std::string value;
};

// A request ready to send: URL, method, the signed header fields (lowercase names, in
// signing order, "authorization" last) and the idle timeout. The canonical request and the
// string to sign are kept for diagnostics; neither holds the secret.
struct S3SignedRequest {
  std::string url;
  std::string method;
  std::vector<std::pair<std::string, std::string>> headers;
  int timeoutSeconds = 60;
  std::string canonicalRequest;
  std::string stringToSign;

  // The value of a header field by its lowercase name, or nullptr.
  const std::string* header(std::string_view name) const;
};

// Builds request URLs for a bucket (path-style or virtual-hosted style) and signs requests
// with AWS Signature Version 4 for the service "s3". An immutable value over its
// configuration; safe to use from any number of threads. Never performs network traffic.
// Target construction throws EngineError.ioError for an unusable endpoint; signing itself
// cannot fail.
class S3RequestSigner {
 public:
  struct RequestTarget {
    std::string url;
    std::string host;                  // value of the signed "host" header
    std::string canonicalURI;          // already percent-encoded
    std::string canonicalQueryString;  // empty without a query
  };

  explicit S3RequestSigner(S3StorageConfiguration configuration);

  const S3StorageConfiguration& configuration() const noexcept { return configuration_; }

  // Target of one object (HEAD, GET, PUT, DELETE).
  RequestTarget requestTarget(const RepositoryObjectKey& key) const;
  // Target of one object with a query (the requests of a multipart upload).
  RequestTarget requestTarget(const RepositoryObjectKey& key, const std::vector<S3QueryItem>& queryItems) const;
  // Target of the bucket itself with a query (listing).
  RequestTarget bucketRequestTarget(const std::vector<S3QueryItem>& queryItems) const;

  // Signs a request; `payloadSHA256Hex` is the digest of the exact body that will be sent
  // (emptyPayloadSHA256Hex() for bodiless requests), `date` the signing instant.
  S3SignedRequest signedRequest(const std::string& method, const RequestTarget& target,
                                const std::string& payloadSHA256Hex,
                                const std::map<std::string, std::string>& extraHeaders,
                                std::chrono::system_clock::time_point date) const;

  // The endpoint requests go to: the configured one, else the provider's regional endpoint.
  std::string endpointURL() const;

  static const std::string& emptyPayloadSHA256Hex();
  // Lowercase hex SHA-256 of a file read in chunks of at most `chunkSize` bytes; open and
  // read failures throw PosixError.
  static std::string sha256Hex(const std::filesystem::path& file, std::size_t chunkSize);
  static Bytes hmacSHA256(const Bytes& data, const Bytes& key);
  // The endpoint's host, with ":" and the port when the URL names one; throws
  // EngineError.ioError("Invalid S3 endpoint host.") when the URL has no host.
  static std::string host(const std::string& endpointURL);
  static std::string canonicalQueryString(const std::vector<S3QueryItem>& queryItems);
  // UTF-8 bytes outside A-Z a-z 0-9 - . _ ~ become %XX (uppercase hex); "/" included.
  static std::string percentEncode(std::string_view text);
  // "yyyyMMdd'T'HHmmss'Z'" and "yyyyMMdd" in UTC.
  static std::string timestampText(std::chrono::system_clock::time_point date);
  static std::string dateStampText(std::chrono::system_clock::time_point date);
  // "https://s3." + region + ".amazonaws.com".
  static std::string defaultEndpointURL(const std::string& region);

 private:
  S3StorageConfiguration configuration_;
};

}  // namespace tvr
