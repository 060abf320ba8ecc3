// Streamed blob throughput beside the single-core limits of its parts, measured in one run:
// LZFSE decode and encode through the library, AES-256-GCM and HMAC-SHA256 through OpenSSL.
// Rates are per CPU second of the benchmark thread, so other load on the machine does not
// skew them; the Time column is wall-clock. The data size is TVR_BENCH_MIB mebibytes
// (default 256) of compressible text and of random bytes.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <lzfse.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "engine/crypto/CryptoPrimitives.h"
#include "engine/crypto/EncryptedBlobCodec.h"
#include "engine/crypto/RepositoryCompression.h"
#include "platform/SecureRandom.h"

namespace tvr {
namespace {

constexpr std::size_t kChunk = EncryptedBlobCodec::chunkSize;

std::size_t dataMiB() {
  const char* text = std::getenv("TVR_BENCH_MIB");
  long value = text ? std::atol(text) : 256;
  return value > 0 ? static_cast<std::size_t>(value) : 256;
}

enum Kind { kCompressible = 0, kRandom = 1 };

// Chunk `index` of the data set, generated on demand so no whole data set is ever in memory.
void fillChunk(Kind kind, std::size_t index, Bytes& out) {
  out.resize(kChunk);
  if (kind == kRandom) {
    std::uint64_t state = 0x9E3779B97F4A7C15ull * (index + 1);
    for (std::size_t i = 0; i < kChunk; i += 8) {
      state ^= state << 13, state ^= state >> 7, state ^= state << 17;
      std::memcpy(out.data() + i, &state, 8);
    }
    return;
  }
  // Log-like text: repeated words and varying numbers, roughly 3 to 4 times compressible.
  static const char* const words[] = {"backup", "restore", "chunk",  "blob",     "catalog",
                                      "plan",   "run",     "verify", "snapshot", "path"};
  std::size_t at = 0;
  std::uint64_t n = index * 7919 + 17;
  while (at < kChunk) {
    n = n * 6364136223846793005ull + 1442695040888963407ull;
    std::string line = std::to_string(index * 100000 + at) + " " + words[(n >> 33) % 10] + " " + words[(n >> 40) % 10] +
                       " size=" + std::to_string((n >> 20) % 100000) + " ok\n";
    std::size_t take = std::min(line.size(), kChunk - at);
    std::memcpy(out.data() + at, line.data(), take);
    at += take;
  }
}

const char* kindName(Kind kind) { return kind == kRandom ? "random" : "compressible"; }

RepositoryKeyMaterial benchKey() { return RepositoryKeyMaterial(Bytes(32, 0x42)); }

// The plaintext and sealed files of one data kind, written once per process.
struct DataFiles {
  std::filesystem::path dir;
  std::filesystem::path plain;
  std::filesystem::path sealed;
  std::filesystem::path out;
  ~DataFiles() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
};

DataFiles& files(Kind kind) {
  static std::unique_ptr<DataFiles> sets[2];
  if (!sets[kind]) {
    auto set = std::make_unique<DataFiles>();
    set->dir = std::filesystem::temp_directory_path() /
               ("tvr-crypto-bench-" + std::string(kindName(kind)) + "-" + newUUIDString());
    std::filesystem::create_directories(set->dir);
    set->plain = set->dir / "plain";
    set->sealed = set->dir / "sealed";
    set->out = set->dir / "out";
    std::ofstream stream(set->plain, std::ios::binary);
    Bytes chunk;
    for (std::size_t i = 0; i < dataMiB(); ++i) {
      fillChunk(kind, i, chunk);
      stream.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
    }
    stream.close();
    EncryptedBlobCodec(benchKey()).sealFile(set->plain, set->sealed);
    sets[kind] = std::move(set);
  }
  return *sets[kind];
}

// In-memory chunks for the library limits: plaintext, LZFSE stream and its sealed form.
struct MemoryChunks {
  std::vector<Bytes> plain;
  std::vector<Bytes> compressed;
  std::vector<Bytes> sealed;  // nonce || ciphertext || tag of `compressed`
};

const MemoryChunks& memoryChunks(Kind kind) {
  static std::unique_ptr<MemoryChunks> sets[2];
  if (!sets[kind]) {
    auto set = std::make_unique<MemoryChunks>();
    crypto::AESGCM cipher(SecretBytes(Bytes(32, 0x24)));
    for (std::size_t i = 0; i < dataMiB(); ++i) {
      Bytes chunk;
      fillChunk(kind, i, chunk);
      Bytes compressed = RepositoryCompression::compress(chunk);
      set->sealed.push_back(cipher.sealCombined(compressed.data(), compressed.size(), nullptr, 0));
      set->compressed.push_back(std::move(compressed));
      set->plain.push_back(std::move(chunk));
    }
    sets[kind] = std::move(set);
  }
  return *sets[kind];
}

std::int64_t totalBytes() { return static_cast<std::int64_t>(dataMiB() * kChunk); }

void finish(benchmark::State& state, Kind kind) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * totalBytes());
  state.SetLabel(kindName(kind));
}

void BM_OpenFile(benchmark::State& state) {
  Kind kind = static_cast<Kind>(state.range(0));
  DataFiles& f = files(kind);
  EncryptedBlobCodec codec(benchKey());
  for (auto _ : state) codec.openFile(f.sealed, f.out);
  finish(state, kind);
}

void BM_SealFile(benchmark::State& state) {
  Kind kind = static_cast<Kind>(state.range(0));
  DataFiles& f = files(kind);
  EncryptedBlobCodec codec(benchKey());
  for (auto _ : state) codec.sealFile(f.plain, f.out);
  finish(state, kind);
}

void BM_BlobKeyForEncryptedBlobAt(benchmark::State& state) {
  Kind kind = static_cast<Kind>(state.range(0));
  DataFiles& f = files(kind);
  EncryptedBlobCodec codec(benchKey());
  for (auto _ : state) benchmark::DoNotOptimize(codec.blobKeyForEncryptedBlobAt(f.sealed));
  finish(state, kind);
}

void BM_LimitLZFSEDecode(benchmark::State& state) {
  Kind kind = static_cast<Kind>(state.range(0));
  const MemoryChunks& m = memoryChunks(kind);
  Bytes scratch(lzfse_decode_scratch_size());
  Bytes out(kChunk + 1);
  for (auto _ : state) {
    for (const Bytes& c : m.compressed) {
      benchmark::DoNotOptimize(lzfse_decode_buffer(out.data(), out.size(), c.data(), c.size(), scratch.data()));
    }
  }
  finish(state, kind);
}

void BM_LimitLZFSEEncode(benchmark::State& state) {
  Kind kind = static_cast<Kind>(state.range(0));
  const MemoryChunks& m = memoryChunks(kind);
  Bytes scratch(lzfse_encode_scratch_size());
  Bytes out(kChunk + 12);
  for (auto _ : state) {
    for (const Bytes& p : m.plain) {
      benchmark::DoNotOptimize(lzfse_encode_buffer(out.data(), out.size(), p.data(), p.size(), scratch.data()));
    }
  }
  finish(state, kind);
}

// AES-256-GCM over the compressed chunks, which is what the blob format encrypts; bytes
// processed still count plaintext so the figure adds up with the LZFSE one.
void BM_LimitAESGCMOpen(benchmark::State& state) {
  Kind kind = static_cast<Kind>(state.range(0));
  const MemoryChunks& m = memoryChunks(kind);
  crypto::AESGCM cipher(SecretBytes(Bytes(32, 0x24)));
  Bytes out(kChunk + 64);
  for (auto _ : state) {
    for (const Bytes& s : m.sealed) {
      std::size_t n = s.size() - crypto::aesGCMOverhead;
      cipher.open(s.data(), s.data() + 12, n, s.data() + 12 + n, nullptr, 0, out.data());
    }
  }
  finish(state, kind);
}

// The two stages of openFile back to back in memory, without files: the figure openFile is
// measured against.
void BM_LimitAESGCMOpenThenLZFSEDecode(benchmark::State& state) {
  Kind kind = static_cast<Kind>(state.range(0));
  const MemoryChunks& m = memoryChunks(kind);
  crypto::AESGCM cipher(SecretBytes(Bytes(32, 0x24)));
  Bytes scratch(lzfse_decode_scratch_size());
  Bytes compressed(kChunk + 64);
  Bytes out(kChunk + 1);
  for (auto _ : state) {
    for (const Bytes& s : m.sealed) {
      std::size_t n = s.size() - crypto::aesGCMOverhead;
      cipher.open(s.data(), s.data() + 12, n, s.data() + 12 + n, nullptr, 0, compressed.data());
      benchmark::DoNotOptimize(lzfse_decode_buffer(out.data(), out.size(), compressed.data(), n, scratch.data()));
    }
  }
  finish(state, kind);
}

void BM_LimitHMACSHA256(benchmark::State& state) {
  Kind kind = static_cast<Kind>(state.range(0));
  const MemoryChunks& m = memoryChunks(kind);
  SecretBytes key(Bytes(32, 0x11));
  for (auto _ : state) {
    crypto::HMACSHA256 mac(key);
    for (const Bytes& p : m.plain) mac.update(p.data(), p.size());
    benchmark::DoNotOptimize(mac.finish());
  }
  finish(state, kind);
}

// Writing the plaintext into a new temporary file and renaming it into place, as openFile
// must: the file-system floor of any atomic writer on this machine.
void BM_LimitWriteNewFileAndRename(benchmark::State& state) {
  Kind kind = static_cast<Kind>(state.range(0));
  const MemoryChunks& m = memoryChunks(kind);
  DataFiles& f = files(kind);
  const std::filesystem::path temporary = f.dir / ".written.tmp";
  const std::filesystem::path destination = f.dir / "written";
  for (auto _ : state) {
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
      state.SkipWithError("cannot create the temporary file");
      break;
    }
    for (const Bytes& p : m.plain) {
      for (std::size_t done = 0; done < p.size();) {
        ssize_t n = ::write(fd, p.data() + done, p.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
      }
    }
    ::close(fd);
    ::rename(temporary.c_str(), destination.c_str());
  }
  finish(state, kind);
}

#define TVR_BENCH(name) BENCHMARK(name)->Arg(kCompressible)->Arg(kRandom)->Iterations(3)->Unit(benchmark::kMillisecond)

TVR_BENCH(BM_OpenFile);
TVR_BENCH(BM_SealFile);
TVR_BENCH(BM_BlobKeyForEncryptedBlobAt);
TVR_BENCH(BM_LimitLZFSEDecode);
TVR_BENCH(BM_LimitLZFSEEncode);
TVR_BENCH(BM_LimitAESGCMOpen);
TVR_BENCH(BM_LimitAESGCMOpenThenLZFSEDecode);
TVR_BENCH(BM_LimitHMACSHA256);
TVR_BENCH(BM_LimitWriteNewFileAndRename);

}  // namespace
}  // namespace tvr

BENCHMARK_MAIN();
