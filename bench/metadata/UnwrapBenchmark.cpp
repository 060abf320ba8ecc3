// Cost of unlocking a repository: one recovery-key unwrap at the default 210000
// PBKDF2-HMAC-SHA256 iterations, as every command that needs the key performs once.
#include <benchmark/benchmark.h>

#include "engine/crypto/RecoveryKeyWrapping.h"
#include "engine/crypto/RepositoryKeyMaterial.h"

namespace {

void BM_UnwrapDefaultIterations(benchmark::State& state) {
  const tvr::RepositoryKeyMaterial key = tvr::RepositoryKeyMaterial::random();
  const tvr::WrappedRepositoryKey wrapped =
      tvr::RecoveryKeyWrapping::wrap(key, "benchmark password", tvr::RecoveryKeyWrapping::defaultIterations);
  for (auto _ : state) {
    tvr::RepositoryKeyMaterial unwrapped = tvr::RecoveryKeyWrapping::unwrap(wrapped, "benchmark password");
    benchmark::DoNotOptimize(unwrapped);
  }
}
BENCHMARK(BM_UnwrapDefaultIterations)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
