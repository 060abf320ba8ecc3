#pragma once

#include <exception>
#include <string>

namespace tvr {

// The one error type of the engine and the platform layer: a text domain named after the
// component that failed, a small integer code and a complete English sentence.
// `what()` returns the sentence. Subclasses mark a few kinds callers tell apart.
class Error : public std::exception {
 public:
  Error(std::string domain, long code, std::string message);

  const std::string& domain() const noexcept { return domain_; }
  long code() const noexcept { return code_; }
  const std::string& message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string domain_;
  long code_;
  std::string message_;
};

// The engine's general error. `ioError` carries its message as its description.
class EngineError : public Error {
 public:
  enum class Case { ioError, invalidBookmark, cannotAccessSecurityScopedResource };

  static EngineError ioError(std::string message);
  static EngineError invalidBookmark();
  static EngineError cannotAccessSecurityScopedResource();

  Case kind() const noexcept { return kind_; }

 private:
  EngineError(Case kind, long code, std::string message);
  Case kind_;
};

// A failed system call; the message names the call, the path (when there is one) and the reason.
class PosixError : public Error {
 public:
  PosixError(const std::string& call, int err, const std::string& path = {});
  int err() const noexcept { return static_cast<int>(code()); }
};

// Thrown when an operation notices that its cancellation token was cancelled.
class CancellationError : public Error {
 public:
  CancellationError();
};

// A platform-level failure with no errno (cipher, decoder, library call).
Error platformError(const std::string& domain, const std::string& message);

}  // namespace tvr
