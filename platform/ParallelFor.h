#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

namespace tvr {

// Runs work(i) for i in [0, count) on up to the machine's cores (at most 8 threads, each with
// at least `minimumPerThread` items; fewer run on the calling thread alone). The error of the
// lowest failing index is rethrown, so a batch fails as it would in order.
template <class Work>
void parallelFor(std::size_t count, Work&& work, std::size_t minimumPerThread = 256) {
  std::size_t threads = std::min<std::size_t>({std::max(1u, std::thread::hardware_concurrency()), 8,
                                               (count + minimumPerThread - 1) / minimumPerThread});
  if (threads <= 1) {
    for (std::size_t i = 0; i < count; ++i) work(i);
    return;
  }
  std::vector<std::exception_ptr> errors(threads);
  std::vector<std::size_t> errorIndex(threads, count);
  auto run = [&](std::size_t t) {
    for (std::size_t i = t; i < count; i += threads) {
      try {
        work(i);
      } catch (...) {
        errors[t] = std::current_exception();
        errorIndex[t] = i;
        return;
      }
    }
  };
  std::vector<std::thread> pool;
  pool.reserve(threads - 1);
  for (std::size_t t = 1; t < threads; ++t) pool.emplace_back(run, t);
  run(0);
  for (std::thread& thread : pool) thread.join();
  std::size_t first = threads;
  for (std::size_t t = 0; t < threads; ++t) {
    if (errors[t] && (first == threads || errorIndex[t] < errorIndex[first])) first = t;
  }
  if (first != threads) std::rethrow_exception(errors[first]);
}

}  // namespace tvr
