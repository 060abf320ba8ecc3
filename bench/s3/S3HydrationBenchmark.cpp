// Hydrates a repository of 2,000 objects (a few of them large) from s3rver on 127.0.0.1.
// The argument is the size of the large objects in MiB; run each size in its own process
// (--benchmark_filter) and compare "peak_rss_MiB": downloads stream to files, so the peak
// stays flat as objects grow. s3rver runs detached (not a child of this process), so
// /usr/bin/time -v reports this process alone.

#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <fstream>
#include <iostream>
#include <map>

#include "engine/s3/S3RepositoryStorageBackend.h"
#include "engine/storage/RepositoryObjectHydrator.h"
#include "tests/s3/TestProcess.h"

namespace {

using namespace tvr;

constexpr int kObjectCount = 2000;
constexpr int kLargeObjectCount = 8;
constexpr std::size_t kSmallObjectSize = 16 * 1024;

// s3rver started through an intermediate process that exits at once, so the server is
// reparented away from us and its memory never counts as ours.
class DetachedS3rver {
 public:
  explicit DetachedS3rver(const std::string& bucket) {
    std::string node = testing::findExecutable("node");
    std::string s3rver = std::string(TVR_SOURCE_DIR) + "/.deps/s3rver/node_modules/.bin/s3rver";
    if (node.empty() || ::access(s3rver.c_str(), R_OK) != 0) {
      throw std::runtime_error("node or s3rver missing; run scripts/bootstrap");
    }
    port_ = testing::freeLoopbackPort();
    std::filesystem::create_directories(directory_.path() / "data");
    std::vector<std::string> argv{node,
                                  "--openssl-legacy-provider",
                                  s3rver,
                                  "--address",
                                  "127.0.0.1",
                                  "--port",
                                  std::to_string(port_),
                                  "--directory",
                                  (directory_.path() / "data").string(),
                                  "--configure-bucket",
                                  bucket,
                                  "--silent"};
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
    pid_t middle = ::fork();
    if (middle == 0) {
      pid_t server = ::fork();
      if (server == 0) {
        ::setsid();
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
      }
      ssize_t ignored = ::write(pipeFds[1], &server, sizeof server);
      (void)ignored;
      ::_exit(0);
    }
    ::close(pipeFds[1]);
    if (::read(pipeFds[0], &serverPid_, sizeof serverPid_) != sizeof serverPid_) {
      throw std::runtime_error("s3rver did not start");
    }
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(middle, &status, 0);
    for (int i = 0; i < 600 && !testing::portAnswers(port_); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!testing::portAnswers(port_)) throw std::runtime_error("s3rver did not start listening");
  }
  ~DetachedS3rver() {
    ::kill(serverPid_, SIGTERM);
    for (int i = 0; i < 100 && ::kill(serverPid_, 0) == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }
  const std::filesystem::path& scratch() const { return directory_.path(); }

 private:
  testing::TemporaryDirectory directory_;
  int port_ = 0;
  pid_t serverPid_ = -1;
};

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
  DetachedS3rver server("bench");
  S3RepositoryStorageBackend backend(
      S3StorageConfiguration::make("bench", "us-east-1", server.endpoint(), "S3RVER", "S3RVER"));

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
    auto destination = std::make_unique<testing::TemporaryDirectory>();
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
