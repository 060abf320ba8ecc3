// Hydrates a repository of 2,000 objects (a few of them large) from s3rver on 127.0.0.1.
// The argument is the size of the large objects in MiB; run each size in its own process
// (--benchmark_filter) and compare "peak_rss_MiB": downloads stream to files, so the peak
// stays flat as objects grow. s3rver runs detached (not a child of this process), so
// /usr/bin/time -v reports this process alone.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <fstream>
#include <iostream>
#include <map>

#include "engine/s3/S3RepositoryStorageBackend.h"
#include "engine/storage/RepositoryObjectHydrator.h"
#include "tests/support/S3rverFixture.h"
#include "tests/support/TempDir.h"

namespace {

using namespace tvr;

constexpr int kObjectCount = 2000;
constexpr int kLargeObjectCount = 8;
constexpr std::size_t kSmallObjectSize = 16 * 1024;

void writePatterned(const std::filesystem::path& path, std::size_t size) {
  std::ofstream out(path, std::ios::binary);
  std::vector<char> block(1 << 20);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 7 + (i >> 12)) % 251);
  for (std::size_t done = 0; done < size;) {
    std::size_t n = std::min(block.size(), size - done);
    out.write(block.data(), static_cast<std::streamsize>(n));
    done += n;
  }
}

void BM_HydrateFromS3(benchmark::State& state) {
  const std::size_t largeSize = static_cast<std::size_t>(state.range(0)) * 1024 * 1024;
  // Detached: the server's memory never counts as this process's.
  test::S3rverFixture server({"bench"}, {.parent = test::ChildProcess::Parent::detached});
  S3RepositoryStorageBackend backend(server.configuration("bench"));

  auto small = server.scratch() / "small.bin";
  auto large = server.scratch() / "large.bin";
  writePatterned(small, kSmallObjectSize);
  writePatterned(large, largeSize);
  std::int64_t totalBytes = 0;
  char name[80];
  for (int i = 0; i < kObjectCount; ++i) {
    bool isLarge = i % (kObjectCount / kLargeObjectCount) == 0;
    std::snprintf(name, sizeof name, "blobs/%02x/%02x%062d", i % 256, i % 256, i);
    backend.writeObject(isLarge ? large : small, RepositoryObjectKey(name), RepositoryObjectWriteMode::replace());
    totalBytes += static_cast<std::int64_t>(isLarge ? largeSize : kSmallObjectSize);
  }
  std::filesystem::remove(small);
  std::filesystem::remove(large);

  for (auto _ : state) {
    state.PauseTiming();
    auto destination = std::make_unique<test::TempDir>();
    state.ResumeTiming();
    auto summary = RepositoryObjectHydrator::hydrateRepository(backend, destination->path());
    if (summary.objectsRead != kObjectCount || summary.bytesRead != totalBytes) {
      state.SkipWithError("hydration summary does not match the seeded objects");
      break;
    }
    state.PauseTiming();
    destination.reset();
    state.ResumeTiming();
  }
  struct rusage usage {};
  ::getrusage(RUSAGE_SELF, &usage);
  state.SetItemsProcessed(state.iterations() * kObjectCount);
  state.SetBytesProcessed(state.iterations() * totalBytes);
  state.counters["objects"] = kObjectCount;
  state.counters["repository_MiB"] = static_cast<double>(totalBytes) / (1024.0 * 1024.0);
  state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}

BENCHMARK(BM_HydrateFromS3)->Arg(9)->Arg(48)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
