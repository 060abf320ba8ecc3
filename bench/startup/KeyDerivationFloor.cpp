// Times the recovery-key derivation alone, in process: `tvr_kdf_floor <iterations> <runs>`
// prints one line per run: the wall and the CPU milliseconds it took (CPU time stays
// steady when other work shares the cores). run.py uses it as the floor of the commands
// that unlock a repository.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "engine/crypto/RecoveryKeyWrapping.h"
#include "platform/Bytes.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: tvr_kdf_floor <iterations> <runs>\n");
    return 2;
  }
  const long long iterations = std::atoll(argv[1]);
  const int runs = std::atoi(argv[2]);
  const tvr::Bytes salt(16, 0x5a);
  auto cpuMilliseconds = [] {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
  };
  for (int run = 0; run < runs; ++run) {
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = cpuMilliseconds();
    tvr::SecretBytes key = tvr::RecoveryKeyWrapping::deriveWrappingKey("benchmark password", salt, iterations);
    const double cpu = cpuMilliseconds() - cpuStart;
    const std::chrono::duration<double, std::milli> wall = std::chrono::steady_clock::now() - start;
    if (key.size() != 32) return 1;
    std::printf("%.3f %.3f\n", wall.count(), cpu);
  }
  return 0;
}
