// Lists a bucket of a million keys (fault_server.py's made-up "listing:many" pages, 1000
// keys each) with the S3 backend and reports this process's peak resident memory before and
// after: the listing keeps every key with its size, and must stay well under 256 MiB. Run
// one case per process (--benchmark_filter), as the peak of an earlier case stays.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include "engine/s3/S3RepositoryStorageBackend.h"
#include "tests/support/FaultServer.h"

namespace {

using namespace tvr;

double peakResidentMiB() {
  struct rusage usage {};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// Range 1: 0 for made-up keys that are not blob keys, 1 for blob keys in the repository layout.
void BM_ListManyKeys(benchmark::State& state) {
  const auto keyCount = static_cast<std::size_t>(state.range(0));
  test::FaultServer server((state.range(1) ? "listing:blobs:" : "listing:many:") + std::to_string(keyCount));
  S3RepositoryStorageBackend backend(server.configuration());
  double before = peakResidentMiB();
  for (auto _ : state) {
    RepositoryObjectKeyList keys = backend.listObjectsWithSizes();
    if (keys.size() != keyCount) state.SkipWithError("wrong key count");
    benchmark::DoNotOptimize(keys);
  }
  state.counters["keys"] = static_cast<double>(keyCount);
  state.counters["peak_rss_before_MiB"] = before;
  state.counters["peak_rss_MiB"] = peakResidentMiB();
}

BENCHMARK(BM_ListManyKeys)
    ->Args({1'000'000, 0})
    ->Args({1'000'000, 1})
    ->Args({2'000'000, 1})
    ->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
