#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tvr {

// A cancellation flag shared between the caller of a blocking operation and the operation.
// Thread-safe. Operations check it before each attempt and while they wait.
class CancellationToken {
 public:
  void cancel();
  bool isCancelled() const noexcept { return cancelled_.load(); }
  // Throws CancellationError when cancelled.
  void throwIfCancelled() const;
  // Sleeps for `duration` or until cancelled; throws CancellationError when cancelled.
  void sleepFor(std::chrono::duration<double> duration) const;

  // A token nobody cancels, for callers that have none.
  static const CancellationToken& none();

 private:
  std::atomic<bool> cancelled_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable wake_;
};

}  // namespace tvr
