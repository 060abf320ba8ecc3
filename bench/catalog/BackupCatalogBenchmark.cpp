// Snapshot queries on a run of 100,000 files in 10,000 directories (100 top-level folders of
// 100 folders of 10 files), with and without a checkpoint, and writing the checkpoint.
// Run 1 has no checkpoint; run 2 sees every file unchanged and has one.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>

#include "engine/catalog/BackupCatalog.h"
#include "tests/support/RepositoryBuilder.h"
#include "tests/support/TempDir.h"

namespace {

using namespace tvr;
using namespace tvr::test;

struct Fixture {
  TempDir temp;
  std::unique_ptr<BuiltRepository> repo;
  std::int64_t plainRun = 0;
  std::int64_t checkpointRun = 0;
};
Fixture* fixture = nullptr;
const PlanID kPlan = "bench";

std::string dirName(int top, int sub) { return "top" + std::to_string(top) + "/sub" + std::to_string(sub); }

void buildFixture() {
  fixture = new Fixture();
  TestRun run;
  run.files.reserve(100000);
  for (int top = 0; top < 100; ++top) {
    for (int sub = 0; sub < 100; ++sub) {
      for (int file = 0; file < 10; ++file) {
        TestFile entry;
        entry.relPath = dirName(top, sub) + "/file" + std::to_string(file) + ".dat";
        entry.contents = "contents " + std::to_string((top * 100 + sub + file) % 97);
        entry.modifiedAt = 1772359200.0 + top * 100 + sub + file;
        run.files.push_back(std::move(entry));
      }
    }
  }
  TestRun unchanged = run;
  unchanged.checkpoint = true;
  RepositorySpec spec;
  spec.plans.push_back({kPlan, "Bench", {run, unchanged}});
  auto start = std::chrono::steady_clock::now();
  fixture->repo = std::make_unique<BuiltRepository>(buildRepository(fixture->temp.path(), spec));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::fprintf(stderr, "built 2 runs of 100000 files in %.1f s\n", seconds);
  fixture->plainRun = fixture->repo->runIDs.at("bench")[0];
  fixture->checkpointRun = fixture->repo->runIDs.at("bench")[1];
}

void BM_ListTopLevel_History(benchmark::State& state) {
  BackupCatalog catalog = fixture->repo->openCatalog();
  for (auto _ : state) {
    auto children = catalog.listSnapshotChildren(kPlan, fixture->plainRun, std::nullopt);
    if (children.size() != 100) state.SkipWithError("wrong top level");
    benchmark::DoNotOptimize(children);
  }
}
BENCHMARK(BM_ListTopLevel_History)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_FileEntry_History(benchmark::State& state) {
  BackupCatalog catalog = fixture->repo->openCatalog();
  for (auto _ : state) {
    auto entry = catalog.snapshotFileEntry(kPlan, fixture->plainRun, dirName(42, 17) + "/file3.dat");
    if (!entry) state.SkipWithError("missing entry");
    benchmark::DoNotOptimize(entry);
  }
}
BENCHMARK(BM_FileEntry_History)->Unit(benchmark::kMicrosecond);

void BM_LoadSnapshot_History(benchmark::State& state) {
  BackupCatalog catalog = fixture->repo->openCatalog();
  for (auto _ : state) {
    auto snapshot = catalog.loadSnapshot(kPlan, fixture->plainRun);
    if (snapshot->children("").size() != 100) state.SkipWithError("wrong top level");
    benchmark::DoNotOptimize(snapshot);
  }
}
BENCHMARK(BM_LoadSnapshot_History)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ListTopLevel_CheckpointColdCache(benchmark::State& state) {
  BackupCatalog catalog = fixture->repo->openCatalog();
  for (auto _ : state) {
    BackupCatalogSnapshotIndexCache::shared().removeAll();
    auto children = catalog.listSnapshotChildren(kPlan, fixture->checkpointRun, std::nullopt);
    if (children.size() != 100) state.SkipWithError("wrong top level");
    benchmark::DoNotOptimize(children);
  }
}
BENCHMARK(BM_ListTopLevel_CheckpointColdCache)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ListTopLevel_CheckpointCached(benchmark::State& state) {
  BackupCatalog catalog = fixture->repo->openCatalog();
  catalog.listSnapshotChildren(kPlan, fixture->checkpointRun, std::nullopt);
  for (auto _ : state) {
    auto children = catalog.listSnapshotChildren(kPlan, fixture->checkpointRun, std::nullopt);
    benchmark::DoNotOptimize(children);
  }
}
BENCHMARK(BM_ListTopLevel_CheckpointCached)->Unit(benchmark::kMicrosecond);

void BM_FileEntry_CheckpointCached(benchmark::State& state) {
  BackupCatalog catalog = fixture->repo->openCatalog();
  catalog.listSnapshotChildren(kPlan, fixture->checkpointRun, std::nullopt);
  for (auto _ : state) {
    auto entry = catalog.snapshotFileEntry(kPlan, fixture->checkpointRun, dirName(42, 17) + "/file3.dat");
    if (!entry) state.SkipWithError("missing entry");
    benchmark::DoNotOptimize(entry);
  }
}
BENCHMARK(BM_FileEntry_CheckpointCached)->Unit(benchmark::kMicrosecond);

void BM_WriteSnapshotCheckpoint(benchmark::State& state) {
  BackupCatalog catalog = fixture->repo->openCatalog(BackupCatalog::OpenMode::readWrite);
  for (auto _ : state) {
    std::string key = catalog.writeSnapshotCheckpoint(kPlan, fixture->checkpointRun);
    benchmark::DoNotOptimize(key);
  }
}
BENCHMARK(BM_WriteSnapshotCheckpoint)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  buildFixture();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  delete fixture;
  return 0;
}
