#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <string>

#include "platform/Cancellation.h"
#include "platform/Error.h"

namespace tvr {

// How often and how patiently the S3 backend retries a failed HTTP exchange, or an answer
// that says "try again" (see isRetryableAnswer): `maxRetries` retries after the first
// attempt, the wait before each drawn at random between half and all of
// baseDelayNanoseconds × 2^attempt, so that many clients turned away together do not come
// back together. A value type; compared by its two settings. The sleeper and the jitter are
// seams for tests (record the waits instead of sleeping; make them exact); the default
// sleeper sleeps on the cancellation token, so a cancel ends the wait at once with
// CancellationError.
struct S3RetryPolicy {
  using Sleeper = std::function<void(std::uint64_t nanoseconds, const CancellationToken& cancel)>;
  // Maps the full back-off delay to the wait actually taken.
  using Jitter = std::function<std::uint64_t(std::uint64_t delay)>;

  std::int64_t maxRetries = 3;
  std::uint64_t baseDelayNanoseconds = 250'000'000;
  Sleeper sleeper;  // empty: CancellationToken::sleepFor
  Jitter jitter;    // empty: uniform between delay / 2 and delay

  // 500, 502, 503 and 504, and S3's "SlowDown" under any status: the service is busy or
  // briefly broken, and the same request may well succeed a moment later.
  static bool isRetryableAnswer(long statusCode, const std::optional<std::string>& providerErrorCode) {
    if (statusCode == 500 || statusCode == 502 || statusCode == 503 || statusCode == 504) return true;
    return providerErrorCode && *providerErrorCode == "SlowDown";
  }

  // Thrown by an operation for an answer it wants retried; never escapes `retrying` (the
  // operation must return the answer on the last attempt instead).
  struct RetryableAnswer {};

  std::uint64_t jittered(std::uint64_t delay) const {
    if (jitter) return jitter(delay);
    thread_local std::mt19937_64 generator{std::random_device{}()};
    return std::uniform_int_distribution<std::uint64_t>(delay / 2, delay)(generator);
  }

  // baseDelayNanoseconds × 2^attempt; saturates at the largest value instead of wrapping.
  std::uint64_t delay(std::int64_t attempt) const {
    if (attempt < 0) attempt = 0;
    if (baseDelayNanoseconds == 0) return 0;
    if (attempt >= 64 || baseDelayNanoseconds > (std::numeric_limits<std::uint64_t>::max() >> attempt)) {
      return std::numeric_limits<std::uint64_t>::max();
    }
    return baseDelayNanoseconds << attempt;
  }

  void sleep(std::uint64_t nanoseconds, const CancellationToken& cancel) const {
    if (sleeper) {
      sleeper(nanoseconds, cancel);
      cancel.throwIfCancelled();
    } else {
      cancel.sleepFor(std::chrono::duration<double>(static_cast<double>(nanoseconds) / 1e9));
    }
  }

  // Thrown by an operation for a failure that is not the exchange's own (a local file, a
  // body that does not parse): it ends the retries and `retrying` passes on `error()`, the
  // failure itself. It carries that failure's domain, code and message, so one that reaches
  // a caller who does not retry still reads as the engine error it wraps.
  class FinalFailure : public Error {
   public:
    explicit FinalFailure(std::exception_ptr error) : Error(describe(error)), error_(std::move(error)) {}
    const std::exception_ptr& error() const noexcept { return error_; }

   private:
    static Error describe(const std::exception_ptr& error) {
      try {
        std::rethrow_exception(error);
      } catch (const Error& wrapped) {
        return wrapped;
      } catch (const std::exception& other) {
        return Error("S3RetryPolicy", 1, other.what());
      } catch (...) {
        return Error("S3RetryPolicy", 1, "The operation failed.");
      }
    }
    std::exception_ptr error_;
  };

  // Runs `operation` (one exchange) until it succeeds, it fails with a cancellation, or the
  // retries are used up; the last failure is passed on unchanged. Cancellation is checked
  // before every attempt and during the waits.
  template <typename Operation>
  auto retrying(const CancellationToken& cancel, Operation&& operation) const -> decltype(operation()) {
    for (std::int64_t attempt = 0;; ++attempt) {
      cancel.throwIfCancelled();
      try {
        return operation();
      } catch (const CancellationError&) {
        throw;
      } catch (const FinalFailure& failure) {
        std::rethrow_exception(failure.error());
      } catch (...) {
        if (attempt >= maxRetries) throw;
      }
      sleep(jittered(delay(attempt)), cancel);
    }
  }

  bool operator==(const S3RetryPolicy& other) const {
    return maxRetries == other.maxRetries && baseDelayNanoseconds == other.baseDelayNanoseconds;
  }
};

}  // namespace tvr
