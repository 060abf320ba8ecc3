#include "platform/Cancellation.h"

#include "platform/Error.h"

namespace tvr {

void CancellationToken::cancel() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_.store(true);
  }
  wake_.notify_all();
}

void CancellationToken::throwIfCancelled() const {
  if (isCancelled()) throw CancellationError();
}

void CancellationToken::sleepFor(std::chrono::duration<double> duration) const {
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait_for(lock, duration, [this] { return cancelled_.load(); });
  lock.unlock();
  throwIfCancelled();
}

const CancellationToken& CancellationToken::none() {
  static const CancellationToken token;
  return token;
}

}  // namespace tvr
