// The readers over a large run: 50,000 files in 5,000 directories, once answered from the
// history query and once from a checkpoint; plus one 1 GiB file.
//
// The repositories are built once under $TVR_READERS_BENCH_DIR (default /tmp/tvr-readers-bench)
// and reused by later invocations, so one benchmark can be run alone under /usr/bin/time -v
// to see its peak memory. Remove the folder when done.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>

#include "engine/catalog/BackupCatalog.h"
#include "engine/crypto/EncryptedBlobCodec.h"
#include "engine/metadata/RepositoryMetadata.h"
#include "engine/storage/RepositoryIntegrityVerifier.h"
#include "engine/storage/RepositoryRestoreReader.h"
#include "platform/SecureRandom.h"

namespace fs = std::filesystem;
using namespace tvr;

namespace {

const PlanID kPlan("bench-plan");
constexpr int kTopDirectories = 50;
constexpr int kSubdirectoriesPerTop = 99;  // 50 + 50 * 99 = 5,000 directories
constexpr int kFilesPerDirectory = 10;     // 5,000 * 10 = 50,000 files
constexpr std::int64_t kLargeFileBytes = std::int64_t(1) << 30;

RepositoryKeyMaterial benchKey() {
  Bytes raw(32);
  for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return RepositoryKeyMaterial(raw);
}

fs::path benchDirectory() {
  const char* configured = std::getenv("TVR_READERS_BENCH_DIR");
  return configured ? fs::path(configured) : fs::path("/tmp/tvr-readers-bench");
}

RepositoryEncryptionMetadata encryptionMetadata() {
  RepositoryEncryptionMetadata encryption;
  encryption.version = 1;
  encryption.blobAlgorithm = "AES-256-GCM";
  encryption.compressionAlgorithm = "LZFSE";
  encryption.keyDerivationAlgorithm = "HKDF-SHA256";
  return encryption;
}

void writeBlob(const fs::path& root, const std::string& key, const Bytes& sealed) {
  const fs::path path = root / "blobs" / key.substr(0, 2) / key;
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(sealed.data()), static_cast<std::streamsize>(sealed.size()));
}

std::string numbered(const char* prefix, int number) {
  char text[32];
  std::snprintf(text, sizeof text, "%s%03d", prefix, number);
  return text;
}

// Run 1 of a repository with the 50,000 files; no checkpoint.
void buildManyFiles(const fs::path& root) {
  if (fs::exists(root / ".complete")) return;
  fs::remove_all(root);
  std::cerr << "building " << root << " ...\n";
  RepositoryMetadata::ensureWritableRepository(root, encryptionMetadata());
  const RepositoryKeyMaterial key = benchKey();
  const EncryptedBlobCodec codec(key);
  BackupCatalog catalog(root, key, BackupCatalog::OpenMode::createOrOpenForWrite);
  catalog.withTransaction([&] {
    const std::int64_t run = catalog.beginRun(newUUIDString(), kPlan, "/source", root.string(), true, "sha256",
                                              std::nullopt, std::nullopt, std::nullopt);
    auto addDirectory = [&](const std::string& path) {
      catalog.insertEvent(run, kPlan, path, path, "mkdir", std::nullopt, std::nullopt, std::nullopt, 1767225600.0,
                          std::nullopt, false);
      for (int f = 0; f < kFilesPerDirectory; ++f) {
        const std::string file = path + "/" + numbered("file-", f) + ".txt";
        std::string content = "contents of " + file + "\n";
        content.resize(200, '.');
        const Bytes plaintext = bytesOf(content);
        const std::string blobKey = codec.blobKeyForPlaintext(plaintext);
        writeBlob(root, blobKey, codec.seal(plaintext));
        catalog.insertEvent(run, kPlan, file, file, "copy", blobKey, static_cast<std::int64_t>(content.size()),
                            1767225600.0, 1767312000.0, std::nullopt, false);
      }
    };
    for (int t = 0; t < kTopDirectories; ++t) {
      const std::string top = numbered("group-", t);
      addDirectory(top);
      for (int s = 0; s < kSubdirectoriesPerTop; ++s) addDirectory(top + "/" + numbered("folder-", s));
    }
    catalog.finishRun(run);
  });
  std::ofstream(root / ".complete") << "ok\n";
}

void buildWithCheckpoint(const fs::path& source, const fs::path& root) {
  if (fs::exists(root / ".complete")) return;
  fs::remove_all(root);
  std::cerr << "building " << root << " ...\n";
  fs::copy(source, root, fs::copy_options::recursive);
  fs::remove(root / ".complete");
  BackupCatalog catalog(root, benchKey(), BackupCatalog::OpenMode::readWrite);
  catalog.writeSnapshotCheckpoint(kPlan, 1);
  std::ofstream(root / ".complete") << "ok\n";
}

void buildLargeFile(const fs::path& root) {
  if (fs::exists(root / ".complete")) return;
  fs::remove_all(root);
  std::cerr << "building " << root << " ...\n";
  RepositoryMetadata::ensureWritableRepository(root, encryptionMetadata());
  const RepositoryKeyMaterial key = benchKey();
  const EncryptedBlobCodec codec(key);
  const fs::path plaintext = root / ".plaintext";
  {
    // Mixed content: alternating incompressible and repetitive megabytes.
    std::ofstream out(plaintext, std::ios::binary);
    std::vector<std::uint64_t> block(131072);
    std::uint64_t state = 88172645463325252ull;
    for (std::int64_t written = 0; written < kLargeFileBytes; written += 1048576) {
      const bool random = (written / 1048576) % 2 == 0;
      for (auto& word : block) {
        if (random) {
          state ^= state << 13;
          state ^= state >> 7;
          state ^= state << 17;
        }
        word = random ? state : 0x0123456789abcdefull + static_cast<std::uint64_t>(written);
      }
      out.write(reinterpret_cast<const char*>(block.data()), 1048576);
    }
  }
  const std::string blobKey = codec.blobKeyForFile(plaintext, {});
  const fs::path blob = root / "blobs" / blobKey.substr(0, 2) / blobKey;
  codec.sealFile(plaintext, blob);
  fs::remove(plaintext);
  BackupCatalog catalog(root, key, BackupCatalog::OpenMode::createOrOpenForWrite);
  const std::int64_t run = catalog.beginRun(newUUIDString(), kPlan, "/source", root.string(), true, "sha256",
                                            std::nullopt, std::nullopt, std::nullopt);
  catalog.insertEvent(run, kPlan, "large.bin", "large.bin", "copy", blobKey, kLargeFileBytes, std::nullopt,
                      1767312000.0, std::nullopt, false);
  catalog.finishRun(run);
  std::ofstream(root / ".complete") << "ok\n";
}

fs::path historyRepository() { return benchDirectory() / "many-files-history"; }
fs::path checkpointRepository() { return benchDirectory() / "many-files-checkpoint"; }
fs::path largeRepository() { return benchDirectory() / "large-file"; }
fs::path scratchDirectory() { return benchDirectory() / "scratch"; }

RepositoryRestoreReader readerFor(const fs::path& root) { return RepositoryRestoreReader(root, benchKey()); }

void walkAllFiles(benchmark::State& state, fs::path root) {
  const RepositoryRestoreReader reader = readerFor(root);
  std::size_t files = 0;
  for (auto _ : state) {
    files = reader.allFiles(kPlan, 1, std::nullopt).size();
    benchmark::DoNotOptimize(files);
  }
  if (files != 50000) state.SkipWithError("unexpected file count");
  state.counters["files"] = static_cast<double>(files);
}

void listTopLevel(benchmark::State& state, fs::path root) {
  const RepositoryRestoreReader reader = readerFor(root);
  std::size_t children = 0;
  for (auto _ : state) {
    children = reader.listChildren(kPlan, 1, std::nullopt).size();
    benchmark::DoNotOptimize(children);
  }
  state.counters["children"] = static_cast<double>(children);
}

// One listChildren on a subdirectory: a walk one directory at a time pays this 5,001 times.
void listOneSubdirectory(benchmark::State& state, fs::path root) {
  const RepositoryRestoreReader reader = readerFor(root);
  for (auto _ : state) benchmark::DoNotOptimize(reader.listChildren(kPlan, 1, std::string("group-007/folder-042")));
}

// The walk one listChildren call (one catalog, one snapshot query) per directory, for comparison.
void walkByListing(benchmark::State& state, fs::path root) {
  const RepositoryRestoreReader reader = readerFor(root);
  std::size_t files = 0;
  std::function<void(const std::optional<std::string>&)> walk = [&](const std::optional<std::string>& directory) {
    for (const SnapshotEntry& child : reader.listChildren(kPlan, 1, directory)) {
      if (child.kind == SnapshotKind::directory) {
        walk(child.relPathNorm);
      } else {
        ++files;
      }
    }
  };
  for (auto _ : state) {
    files = 0;
    walk(std::nullopt);
  }
  if (files != 50000) state.SkipWithError("unexpected file count");
}

void exportDryRun(benchmark::State& state, fs::path root) {
  const RepositoryRestoreReader reader = readerFor(root);
  std::size_t files = 0, directories = 0;
  for (auto _ : state) {
    files = directories = 0;
    for (const SnapshotEntry& entry : reader.allEntries(kPlan, 1, std::nullopt)) {
      (entry.kind == SnapshotKind::directory ? directories : files) += 1;
    }
  }
  if (files != 50000 || directories != 5000) state.SkipWithError("unexpected entry counts");
  state.counters["entries"] = static_cast<double>(files + directories);
}

void exportRun(benchmark::State& state, fs::path root) {
  const RepositoryRestoreReader reader = readerFor(root);
  const fs::path destination = scratchDirectory() / "export";
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove_all(destination);
    state.ResumeTiming();
    reader.exportRun(kPlan, 1, destination, false);
  }
  state.SetItemsProcessed(state.iterations() * 50000);
  state.SetBytesProcessed(state.iterations() * 50000 * 200);
  fs::remove_all(destination);
}

void verify(benchmark::State& state, fs::path root) {
  const RepositoryIntegrityVerifier verifier(benchKey());
  for (auto _ : state) {
    const RepositoryIntegrityReport report = verifier.verify(root);
    if (!report.isHealthy()) state.SkipWithError("repository not healthy");
  }
  state.SetItemsProcessed(state.iterations() * 50000);
}

void restoreLargeFile(benchmark::State& state) {
  const RepositoryRestoreReader reader = readerFor(largeRepository());
  const fs::path destination = scratchDirectory() / "large.bin";
  for (auto _ : state) {
    reader.restoreFile(kPlan, 1, "large.bin", destination, true);
  }
  if (fs::file_size(destination) != static_cast<std::uintmax_t>(kLargeFileBytes)) state.SkipWithError("wrong size");
  state.SetBytesProcessed(state.iterations() * kLargeFileBytes);
  fs::remove(destination);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  fs::create_directories(scratchDirectory());
  buildManyFiles(historyRepository());
  buildWithCheckpoint(historyRepository(), checkpointRepository());
  buildLargeFile(largeRepository());

  for (const auto& [label, root] :
       {std::pair{"history", historyRepository()}, std::pair{"checkpoint", checkpointRepository()}}) {
    const std::string suffix = std::string("/") + label;
    benchmark::RegisterBenchmark(("walkAllFiles" + suffix).c_str(), walkAllFiles, root)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("listTopLevel" + suffix).c_str(), listTopLevel, root)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("listOneSubdirectory" + suffix).c_str(), listOneSubdirectory, root)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("exportDryRun" + suffix).c_str(), exportDryRun, root)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("exportRun" + suffix).c_str(), exportRun, root)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1);
    benchmark::RegisterBenchmark(("verify" + suffix).c_str(), verify, root)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1);
  }
  // Only with a checkpoint: from the history this walk runs the history query 5,001 times.
  benchmark::RegisterBenchmark("walkByListing/checkpoint", walkByListing, checkpointRepository())
      ->Unit(benchmark::kMillisecond)
      ->Iterations(1);
  benchmark::RegisterBenchmark("restoreFile/1GiB", restoreLargeFile)->Unit(benchmark::kMillisecond)->Iterations(1);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
