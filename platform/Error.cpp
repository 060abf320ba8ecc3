#include "platform/Error.h"

#include <cstring>

namespace tvr {

Error::Error(std::string domain, long code, std::string message)
    : domain_(std::move(domain)), code_(code), message_(std::move(message)) {}

EngineError::EngineError(Case kind, long code, std::string message)
    : Error("EngineError", code, std::move(message)), kind_(kind) {}

EngineError EngineError::ioError(std::string message) { return EngineError(Case::ioError, 0, std::move(message)); }
EngineError EngineError::invalidBookmark() { return EngineError(Case::invalidBookmark, 1, "Invalid bookmark."); }
EngineError EngineError::cannotAccessSecurityScopedResource() {
  return EngineError(Case::cannotAccessSecurityScopedResource, 2, "Cannot access a security-scoped resource.");
}

namespace {
std::string posixMessage(const std::string& call, int err, const std::string& path) {
  std::string message = call + " failed";
  if (!path.empty()) message += " for " + path;
  message += ": ";
  message += std::strerror(err);
  message += ".";
  return message;
}
}  // namespace

PosixError::PosixError(const std::string& call, int err, const std::string& path)
    : Error("NSPOSIXErrorDomain", err, posixMessage(call, err, path)) {}

CancellationError::CancellationError() : Error("CancellationError", 1, "The operation was cancelled.") {}

Error platformError(const std::string& domain, const std::string& message) { return Error(domain, 1, message); }

}  // namespace tvr
