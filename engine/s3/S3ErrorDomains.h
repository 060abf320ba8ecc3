#pragma once

namespace tvr {

// The error domains of the S3 backend that callers tell apart (the front end reports both
// as provider failures). One definition each, so that a rename cannot silently split the
// raiser from the callers that compare against it.

// An S3 answer with a status its operation does not accept (S3HTTPFailureError).
inline constexpr const char* kS3RepositoryStorageBackendErrorDomain = "S3RepositoryStorageBackend";
// A failed HTTP exchange of the S3 backend: refused connection, DNS, TLS, timeout (S3HTTPSession).
inline constexpr const char* kS3HTTPClientErrorDomain = "HTTPClient";

}  // namespace tvr
