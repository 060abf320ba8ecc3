#include "engine/crypto/EncryptedBlobCodec.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "engine/crypto/CryptoPrimitives.h"
#include "engine/crypto/RepositoryCompression.h"
#include "platform/AtomicFileWriter.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/SecureRandom.h"
#include "platform/TemporaryFiles.h"

namespace tvr {

namespace {

constexpr std::uint8_t kMagic[8] = {0x42, 0x4B, 0x42, 0x4C, 0x4F, 0x42, 0x32, 0x0A};
constexpr std::size_t kMagicSize = sizeof kMagic;
constexpr std::size_t kHeaderSize = EncryptedBlobCodec::headerSize;
constexpr std::size_t kPrefixSize = EncryptedBlobCodec::chunkPrefixSize;
constexpr std::size_t kChunkSize = EncryptedBlobCodec::chunkSize;
constexpr std::size_t kAssociatedDataSize = kHeaderSize + 8 + 4 + 1;
constexpr std::uint64_t kLargestPlaintextSize = (std::uint64_t{1} << 63) - 1;

[[noreturn]] void fail(const char* message) { throw Error("EncryptedBlobCodec", 1, message); }

void putBE(std::uint8_t* out, std::uint64_t value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<std::uint8_t>(value);
    value >>= 8;
  }
}

std::uint64_t getBE(const std::uint8_t* in, int width) {
  std::uint64_t value = 0;
  for (int i = 0; i < width; ++i) value = (value << 8) | in[i];
  return value;
}

using Header = std::array<std::uint8_t, kHeaderSize>;

Header makeHeader(std::uint64_t plaintextSize) {
  Header header{};
  std::memcpy(header.data(), kMagic, kMagicSize);
  putBE(header.data() + 8, plaintextSize, 8);
  putBE(header.data() + 16, kChunkSize, 4);
  return header;
}

// Checks magic and chunk size of 20 header bytes and returns the plaintext size.
std::uint64_t parseHeader(const std::uint8_t* header) {
  if (std::memcmp(header, kMagic, kMagicSize) != 0) {
    fail("Encrypted blob has an unsupported header.");
  }
  if (getBE(header + 16, 4) != kChunkSize) fail("Encrypted blob uses an unsupported chunk size.");
  std::uint64_t plaintextSize = getBE(header + 8, 8);
  if (plaintextSize > kLargestPlaintextSize) fail("Encrypted blob is too large for this platform.");
  return plaintextSize;
}

std::array<std::uint8_t, kAssociatedDataSize> associatedData(const Header& header, std::uint64_t index,
                                                             std::uint32_t plaintextLength, std::uint8_t final) {
  std::array<std::uint8_t, kAssociatedDataSize> aad{};
  std::memcpy(aad.data(), header.data(), kHeaderSize);
  putBE(aad.data() + kHeaderSize, index, 8);
  putBE(aad.data() + kHeaderSize + 8, plaintextLength, 4);
  aad[kHeaderSize + 12] = final;
  return aad;
}

struct ChunkPrefix {
  std::uint32_t payloadLength;
  std::uint32_t plaintextLength;
  std::uint8_t final;
};

// Reads the 9-byte prefix and checks the final flag and the length bound, in that order.
ChunkPrefix parsePrefix(const std::uint8_t* prefix) {
  ChunkPrefix parsed{static_cast<std::uint32_t>(getBE(prefix, 4)), static_cast<std::uint32_t>(getBE(prefix + 4, 4)),
                     prefix[8]};
  if (parsed.final > 1) fail("Encrypted blob chunk has an invalid final flag.");
  // A hostile prefix may announce up to 4 GiB; refuse before any buffer is sized by it.
  if (parsed.payloadLength > EncryptedBlobCodec::maximumChunkLength ||
      parsed.plaintextLength > EncryptedBlobCodec::maximumChunkLength) {
    fail("Encrypted blob chunk is too large.");
  }
  return parsed;
}

// Seals chunks one after another, reusing the cipher context, the LZFSE scratch memory and
// the record buffer. One per operation.
class ChunkSealer {
 public:
  ChunkSealer(const SecretBytes& encryptionKey, const Header& header) : header_(header), cipher_(encryptionKey) {}

  // Returns the whole chunk record (prefix and payload); valid until the next call.
  const Bytes& seal(const std::uint8_t* plaintext, std::size_t size, std::uint64_t index, bool final) {
    auto compressed = compression_.compress(plaintext, size);
    const std::size_t payloadLength = crypto::aesGCMOverhead + compressed.size;
    record_.resize(kPrefixSize + payloadLength);
    std::uint8_t* out = record_.data();
    const std::uint8_t finalByte = final ? 1 : 0;
    putBE(out, payloadLength, 4);
    putBE(out + 4, size, 4);
    out[8] = finalByte;
    std::uint8_t* nonce = out + kPrefixSize;
    Bytes fresh = secureRandomBytes(crypto::aesGCMNonceSize);
    std::memcpy(nonce, fresh.data(), fresh.size());
    auto aad = associatedData(header_, index, static_cast<std::uint32_t>(size), finalByte);
    cipher_.seal(nonce, compressed.data, compressed.size, aad.data(), aad.size(), nonce + crypto::aesGCMNonceSize,
                 nonce + crypto::aesGCMNonceSize + compressed.size);
    return record_;
  }

 private:
  Header header_;
  crypto::AESGCM cipher_;
  RepositoryCompression::Workspace compression_;
  Bytes record_;
};

// Authenticates, decrypts and decompresses chunks one after another, reusing its buffers.
class ChunkOpener {
 public:
  ChunkOpener(const SecretBytes& encryptionKey, const Header& header) : header_(header), cipher_(encryptionKey) {}

  // The plaintext stays valid until the next call.
  RepositoryCompression::Workspace::View open(const ChunkPrefix& prefix, const std::uint8_t* payload,
                                              std::uint64_t index) {
    if (prefix.payloadLength < crypto::aesGCMOverhead) {
      throw crypto::CipherError::incorrectParameterSize();
    }
    const std::size_t compressedSize = prefix.payloadLength - crypto::aesGCMOverhead;
    if (compressed_.size() < compressedSize) compressed_.resize(compressedSize);
    auto aad = associatedData(header_, index, prefix.plaintextLength, prefix.final);
    const std::uint8_t* nonce = payload;
    const std::uint8_t* ciphertext = payload + crypto::aesGCMNonceSize;
    cipher_.open(nonce, ciphertext, compressedSize, ciphertext + compressedSize, aad.data(), aad.size(),
                 compressed_.data());
    return compression_.decompress(compressed_.data(), compressedSize, prefix.plaintextLength);
  }

 private:
  Header header_;
  crypto::AESGCM cipher_;
  RepositoryCompression::Workspace compression_;
  Bytes compressed_;
};

}  // namespace

// The keys of a codec, derived once and shared by its copies and threads: a derivation and
// the keying of a hash cost more than decoding a small blob.
struct detail::BlobCodecKeys {
  explicit BlobCodecKeys(const RepositoryKeyMaterial& keyMaterial)
      : encryption(keyMaterial.derivedKey(RepositoryKeyPurpose::blobEncryption)),
        blobKeyMac(keyMaterial.derivedKey(RepositoryKeyPurpose::blobKey)) {}
  SecretBytes encryption;
  crypto::HMACSHA256 blobKeyMac;  // keyed, never updated: copied for each blob key
};

namespace {

OpenFile openForReading(const std::filesystem::path& path) { return openFile(path, O_RDONLY); }

void readExactly(int fd, std::uint8_t* buffer, std::size_t size, const std::filesystem::path& path) {
  if (readFully(fd, buffer, size, path) != size) fail("Unexpected end of encrypted blob.");
}

std::string hexOf(const crypto::Digest& digest) { return hexEncode(digest.data(), digest.size()); }

// Runs one job per chunk of a blob on several threads and hands the results back in the
// order the chunks were submitted. The caller fills the next slot's input, submits it with
// its job, and takes results oldest first; at most `capacity` chunks are in flight, so memory
// stays at a few chunks whatever the blob's size. Each thread makes its own `Job::Worker`
// (cipher and compression state) from the key material and the blob header.
template <class Job>
class OrderedChunkPool {
 public:
  OrderedChunkPool(const SecretBytes& encryptionKey, const Header& header, unsigned workers, std::size_t slotsPerWorker)
      : slots_(slotsPerWorker * workers) {
    try {
      for (unsigned i = 0; i < workers; ++i) {
        threads_.emplace_back([this, &encryptionKey, header] { work(encryptionKey, header); });
      }
    } catch (...) {
      stop();
      throw;
    }
  }
  ~OrderedChunkPool() { stop(); }
  OrderedChunkPool(const OrderedChunkPool&) = delete;
  OrderedChunkPool& operator=(const OrderedChunkPool&) = delete;

  std::size_t capacity() const { return slots_.size(); }
  std::size_t inFlight() const { return submitted_ - taken_; }

  // The input buffer of the next chunk (free until it is submitted).
  Bytes& nextInput() { return slots_[submitted_ % slots_.size()].input; }

  void submit(const Job& job) {
    Slot& slot = slots_[submitted_ % slots_.size()];
    {
      std::lock_guard<std::mutex> lock(mutex_);
      slot.job = job;
      slot.done = false;
      slot.failure = nullptr;
      queue_.push_back(&slot);
      ++submitted_;
    }
    ready_.notify_one();
  }

  // Whether the oldest chunk in flight is finished, so takeOldest would not wait.
  bool oldestIsDone() {
    if (inFlight() == 0) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    return slots_[taken_ % slots_.size()].done;
  }

  // The oldest chunk's result once its job is done (its error otherwise); valid until the
  // next submit.
  const Bytes& takeOldest() {
    Slot& slot = slots_[taken_ % slots_.size()];
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [&] { return slot.done; });
    ++taken_;
    if (slot.failure) std::rethrow_exception(slot.failure);
    return slot.output;
  }

 private:
  struct Slot {
    Job job{};
    Bytes input;
    Bytes output;
    bool done = false;
    std::exception_ptr failure;
  };

  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    ready_.notify_all();
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
  }

  void work(const SecretBytes& encryptionKey, Header header) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<typename Job::Worker> worker;
    std::exception_ptr setupFailure;
    try {
      worker.emplace(encryptionKey, header);
    } catch (...) {
      // Every chunk this thread would take fails the same way; the caller sees the first.
      setupFailure = std::current_exception();
    }
    for (;;) {
      ready_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      // Stopping means the caller has given up on this blob: queued chunks are dropped.
      if (stopping_) return;
      Slot* slot = queue_.front();
      queue_.pop_front();
      if (setupFailure) {
        slot->failure = setupFailure;
      } else {
        lock.unlock();
        try {
          Job::run(*worker, slot->job, slot->input, slot->output);
        } catch (...) {
          slot->failure = std::current_exception();
        }
        lock.lock();
      }
      slot->done = true;
      finished_.notify_all();
    }
  }

  std::vector<Slot> slots_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable finished_;
  std::deque<Slot*> queue_;
  std::size_t submitted_ = 0;
  std::size_t taken_ = 0;
  bool stopping_ = false;
};

// Authenticates, decrypts and decompresses one chunk: input is its payload, output its plaintext.
// With `place`, the plaintext is also handed to it at its offset in the blob's plaintext.
struct OpenChunkJob {
  using Worker = ChunkOpener;
  ChunkPrefix prefix{};
  std::uint64_t index = 0;
  std::uint64_t offset = 0;
  const EncryptedBlobCodec::PlacedSink* place = nullptr;

  static void run(ChunkOpener& opener, const OpenChunkJob& job, const Bytes& payload, Bytes& plaintext) {
    auto opened = opener.open(job.prefix, payload.data(), job.index);
    plaintext.assign(opened.data, opened.data + opened.size);
    if (job.place && *job.place) (*job.place)(job.offset, plaintext.data(), plaintext.size());
  }
};

// Compresses and seals one chunk: input is its plaintext, output its whole record.
struct SealChunkJob {
  using Worker = ChunkSealer;
  std::size_t size = 0;
  std::uint64_t index = 0;
  bool final = false;

  static void run(ChunkSealer& sealer, const SealChunkJob& job, const Bytes& plaintext, Bytes& record) {
    const Bytes& sealed = sealer.seal(plaintext.data(), job.size, job.index, job.final);
    record.assign(sealed.begin(), sealed.end());
  }
};

// The checks after the final chunk, in the streamed order: size mismatch before trailing data.
void checkStreamEnd(int fd, const std::filesystem::path& path, std::uint64_t total, std::uint64_t plaintextSize) {
  if (total != plaintextSize) fail("Encrypted blob plaintext size mismatch.");
  std::uint8_t extra;
  if (readFully(fd, &extra, 1, path) != 0) {
    fail("Encrypted blob has trailing data after the final chunk.");
  }
}

// Reads a whole blob stream from `fd` and hands each chunk's plaintext to `sink`, with the
// checks of the streamed reader in their order. With `workers` > 1 a blob announcing more
// than one chunk is decoded by an OrderedChunkPool.
template <typename Sink>
void readBlobStream(const SecretBytes& encryptionKey, int fd, const std::filesystem::path& path, Sink&& sink,
                    unsigned workers = 1, const EncryptedBlobCodec::PlacedSink* place = nullptr) {
  Header header{};
  readExactly(fd, header.data(), header.size(), path);
  const std::uint64_t plaintextSize = parseHeader(header.data());
  std::uint64_t total = 0;
  if (workers <= 1 || plaintextSize <= kChunkSize) {
    ChunkOpener opener(encryptionKey, header);
    Bytes payload;
    for (std::uint64_t index = 0;; ++index) {
      std::uint8_t prefixBytes[kPrefixSize];
      readExactly(fd, prefixBytes, sizeof prefixBytes, path);
      ChunkPrefix prefix = parsePrefix(prefixBytes);
      if (payload.size() < prefix.payloadLength) payload.resize(prefix.payloadLength);
      readExactly(fd, payload.data(), prefix.payloadLength, path);
      auto plaintext = opener.open(prefix, payload.data(), index);
      if (place && *place) (*place)(total, plaintext.data, plaintext.size);
      sink(plaintext.data, plaintext.size);
      total += plaintext.size;
      if (prefix.final == 1) break;
    }
    checkStreamEnd(fd, path, total, plaintextSize);
    return;
  }

  const std::uint64_t announcedChunks = (plaintextSize + kChunkSize - 1) / kChunkSize;
  // Four chunks a worker: enough read-ahead that a busy machine's scheduling delays do not
  // leave the workers idle, and at most some 70 MiB with 8 workers.
  OrderedChunkPool<OpenChunkJob> opener(encryptionKey, header,
                                        static_cast<unsigned>(std::min<std::uint64_t>(workers, announcedChunks)), 4);
  auto handOnOldest = [&] {
    const Bytes& plaintext = opener.takeOldest();
    sink(plaintext.data(), plaintext.size());
    total += plaintext.size();
  };
  // A fault of the stream itself waits until every chunk before it is handed on, so that a
  // damaged earlier chunk is reported first, as the one-thread reader would.
  std::exception_ptr readFailure;
  std::uint64_t offset = 0;  // of the next chunk, from the lengths decoding will hold each chunk to
  for (std::uint64_t index = 0;; ++index) {
    // Chunks already decoded are handed on between reads, so this thread's own work (the
    // sink) runs while the workers decode, rather than in bursts once the window is full.
    while (opener.oldestIsDone()) handOnOldest();
    if (opener.inFlight() == opener.capacity()) handOnOldest();
    ChunkPrefix prefix{};
    try {
      std::uint8_t prefixBytes[kPrefixSize];
      readExactly(fd, prefixBytes, sizeof prefixBytes, path);
      prefix = parsePrefix(prefixBytes);
      Bytes& payload = opener.nextInput();
      if (payload.size() < prefix.payloadLength) payload.resize(prefix.payloadLength);
      readExactly(fd, payload.data(), prefix.payloadLength, path);
    } catch (...) {
      readFailure = std::current_exception();
      break;
    }
    opener.submit({prefix, index, offset, place});
    offset += prefix.plaintextLength;
    if (prefix.final == 1) break;
  }
  while (opener.inFlight() > 0) handOnOldest();
  if (readFailure) std::rethrow_exception(readFailure);
  checkStreamEnd(fd, path, total, plaintextSize);
}

// Blobs are bulk data, written without a flush: a crash that loses one is found by `verify`
// and repaired by a rerun.
template <typename Body>
void writeThroughTemporaryFile(const std::filesystem::path& destination, Body&& write) {
  AtomicFileWriter::writeThroughTemporaryFile(destination, AtomicFileWriter::Durability::unsynchronized, write);
}

// Thrown inside the measured seal when the source ends early; turned into "nothing sealed".
struct SourceShrank {};

}  // namespace

EncryptedBlobCodec::EncryptedBlobCodec(const RepositoryKeyMaterial& keyMaterial)
    : keys_(std::make_shared<const detail::BlobCodecKeys>(keyMaterial)) {}

crypto::HMACSHA256 EncryptedBlobCodec::newBlobKeyMac() const { return keys_->blobKeyMac.copy(); }

std::string EncryptedBlobCodec::blobKeyForPlaintext(const std::uint8_t* data, std::size_t size) const {
  crypto::HMACSHA256 mac = newBlobKeyMac();
  mac.update(data, size);
  return hexOf(mac.finish());
}

std::string EncryptedBlobCodec::blobKeyForFile(const std::filesystem::path& file,
                                               const std::function<void()>& cancellationHandler) const {
  crypto::HMACSHA256 mac = newBlobKeyMac();
  OpenFile in = openForReading(file);
  if (cancellationHandler) cancellationHandler();
  Bytes buffer(kChunkSize);
  for (;;) {
    std::size_t n = readFully(in.get(), buffer.data(), buffer.size(), file);
    if (n == 0) break;
    mac.update(buffer.data(), n);
    if (cancellationHandler) cancellationHandler();
  }
  return hexOf(mac.finish());
}

unsigned EncryptedBlobCodec::parallelWorkerCount() {
  return std::clamp(std::thread::hardware_concurrency(), 1u, maximumParallelWorkers);
}

std::string EncryptedBlobCodec::blobKeyForEncryptedBlobAt(const std::filesystem::path& blob, unsigned workers) const {
  crypto::HMACSHA256 mac = newBlobKeyMac();
  OpenFile in = openForReading(blob);
  readBlobStream(
      keys_->encryption, in.get(), blob, [&](const std::uint8_t* data, std::size_t size) { mac.update(data, size); },
      workers);
  return hexOf(mac.finish());
}

Bytes EncryptedBlobCodec::seal(const Bytes& plaintext) const {
  const Header header = makeHeader(plaintext.size());
  ChunkSealer sealer(keys_->encryption, header);
  Bytes blob(header.begin(), header.end());
  blob.reserve(kHeaderSize + plaintext.size() +
               (plaintext.size() / kChunkSize + 1) * (kPrefixSize + crypto::aesGCMOverhead + 12));
  if (plaintext.empty()) {
    const Bytes& record = sealer.seal(plaintext.data(), 0, 0, true);
    blob.insert(blob.end(), record.begin(), record.end());
    return blob;
  }
  std::uint64_t index = 0;
  for (std::size_t offset = 0; offset < plaintext.size(); offset += kChunkSize, ++index) {
    const std::size_t end = std::min(offset + kChunkSize, plaintext.size());
    const Bytes& record = sealer.seal(plaintext.data() + offset, end - offset, index, end == plaintext.size());
    blob.insert(blob.end(), record.begin(), record.end());
  }
  return blob;
}

Bytes EncryptedBlobCodec::open(const Bytes& blob) const {
  if (blob.size() < kHeaderSize) fail("Encrypted blob has an unsupported header.");
  const std::uint64_t plaintextSize = parseHeader(blob.data());
  Header header{};
  std::memcpy(header.data(), blob.data(), kHeaderSize);
  ChunkOpener opener(keys_->encryption, header);
  Bytes output;
  std::size_t offset = kHeaderSize;
  for (std::uint64_t index = 0;; ++index) {
    if (offset >= blob.size()) fail("Encrypted blob is missing a final chunk.");
    if (blob.size() - offset < kPrefixSize) fail("Encrypted blob chunk is truncated.");
    ChunkPrefix prefix = parsePrefix(blob.data() + offset);
    offset += kPrefixSize;
    if (blob.size() - offset < prefix.payloadLength) {
      fail("Encrypted blob chunk payload is truncated.");
    }
    const std::uint8_t* payload = blob.data() + offset;
    offset += prefix.payloadLength;
    auto plaintext = opener.open(prefix, payload, index);
    output.insert(output.end(), plaintext.data, plaintext.data + plaintext.size);
    if (prefix.final == 1) break;
  }
  if (offset != blob.size()) fail("Encrypted blob has trailing data after the final chunk.");
  if (output.size() != plaintextSize) fail("Encrypted blob plaintext size mismatch.");
  return output;
}

void EncryptedBlobCodec::sealFile(const std::filesystem::path& from, const std::filesystem::path& to) const {
  struct stat status {};
  if (::lstat(from.c_str(), &status) != 0) throw PosixError("lstat", errno, from.string());
  if (!S_ISREG(status.st_mode)) {
    throw EngineError::ioError("The file to encrypt is not a regular file: " + from.string());
  }
  const std::uint64_t size = static_cast<std::uint64_t>(status.st_size);
  OpenFile in = openForReading(from);
  writeThroughTemporaryFile(to, [&](int out, const std::filesystem::path& temporary) {
    const Header header = makeHeader(size);
    writeFully(out, header.data(), header.size(), temporary);
    ChunkSealer sealer(keys_->encryption, header);
    if (size == 0) {
      const Bytes& record = sealer.seal(nullptr, 0, 0, true);
      writeFully(out, record.data(), record.size(), temporary);
      return;
    }
    Bytes buffer(static_cast<std::size_t>(std::min<std::uint64_t>(size, kChunkSize)));
    std::uint64_t remaining = size;
    for (std::uint64_t index = 0; remaining > 0; ++index) {
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kChunkSize));
      // Bytes appended after the size was taken are never read; a shrunken file fails.
      if (readFully(in.get(), buffer.data(), want, from) != want) {
        fail("Failed to read the expected plaintext chunk.");
      }
      remaining -= want;
      const Bytes& record = sealer.seal(buffer.data(), want, index, remaining == 0);
      writeFully(out, record.data(), record.size(), temporary);
    }
  });
}

std::optional<EncryptedBlobCodec::SealedFile> EncryptedBlobCodec::sealFileMeasuringContent(
    const std::filesystem::path& from, const std::filesystem::path& to, unsigned workers) const {
  struct stat status {};
  if (::lstat(from.c_str(), &status) != 0) throw PosixError("lstat", errno, from.string());
  if (!S_ISREG(status.st_mode)) {
    throw EngineError::ioError("The file to encrypt is not a regular file: " + from.string());
  }
  const std::uint64_t size = static_cast<std::uint64_t>(status.st_size);
  OpenFile in = openForReading(from);
  crypto::HMACSHA256 mac = newBlobKeyMac();
  std::uint64_t blobSize = 0;
  const std::uint64_t chunkCount = size == 0 ? 1 : (size + kChunkSize - 1) / kChunkSize;
  try {
    writeThroughTemporaryFile(to, [&](int out, const std::filesystem::path& temporary) {
      auto emit = [&](const Bytes& record) {
        writeFully(out, record.data(), record.size(), temporary);
        blobSize += record.size();
      };
      // Reads the next piece of plaintext; the blob key covers exactly what is sealed.
      auto readChunk = [&](Bytes& buffer, std::size_t want) {
        if (buffer.size() < want) buffer.resize(want);
        if (readFully(in.get(), buffer.data(), want, from) != want) throw SourceShrank{};
        mac.update(buffer.data(), want);
      };
      const Header header = makeHeader(size);
      writeFully(out, header.data(), header.size(), temporary);
      blobSize = header.size();
      if (size == 0) {
        ChunkSealer sealer(keys_->encryption, header);
        emit(sealer.seal(nullptr, 0, 0, true));
        return;
      }
      std::uint64_t remaining = size;
      if (workers <= 1 || chunkCount < 2) {
        ChunkSealer sealer(keys_->encryption, header);
        Bytes buffer;
        for (std::uint64_t index = 0; remaining > 0; ++index) {
          const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kChunkSize));
          readChunk(buffer, want);
          remaining -= want;
          emit(sealer.seal(buffer.data(), want, index, remaining == 0));
        }
        return;
      }
      OrderedChunkPool<SealChunkJob> sealer(keys_->encryption, header,
                                            static_cast<unsigned>(std::min<std::uint64_t>(workers, chunkCount)), 2);
      for (std::uint64_t index = 0; remaining > 0; ++index) {
        if (sealer.inFlight() == sealer.capacity()) emit(sealer.takeOldest());
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kChunkSize));
        readChunk(sealer.nextInput(), want);
        remaining -= want;
        sealer.submit({want, index, remaining == 0});
      }
      while (sealer.inFlight() > 0) emit(sealer.takeOldest());
    });
  } catch (const SourceShrank&) {
    return std::nullopt;
  }
  return SealedFile{hexOf(mac.finish()), size, blobSize};
}

EncryptedBlobCodec::SealedStream EncryptedBlobCodec::sealStream(
    std::uint64_t plaintextSize, const std::function<void(const PlaintextSink&)>& produce, int out,
    const std::filesystem::path& outPath, unsigned workers) const {
  crypto::SHA256 digest;
  std::uint64_t blobSize = 0;
  auto emit = [&](const std::uint8_t* data, std::size_t size) {
    writeFully(out, data, size, outPath);
    digest.update(data, size);
    blobSize += size;
  };
  auto emitRecord = [&](const Bytes& record) { emit(record.data(), record.size()); };
  const Header header = makeHeader(plaintextSize);
  emit(header.data(), header.size());

  // The chunks are cut where seal() cuts them: every kChunkSize bytes, the last one final.
  const std::uint64_t chunkCount = plaintextSize == 0 ? 1 : (plaintextSize + kChunkSize - 1) / kChunkSize;
  std::optional<ChunkSealer> sealer;
  std::optional<OrderedChunkPool<SealChunkJob>> pool;
  if (workers <= 1 || chunkCount < 2) {
    sealer.emplace(keys_->encryption, header);
  } else {
    pool.emplace(keys_->encryption, header, static_cast<unsigned>(std::min<std::uint64_t>(workers, chunkCount)), 2);
  }
  Bytes single;
  Bytes* chunk = nullptr;  // the chunk being filled, if any
  std::size_t filled = 0;
  std::size_t want = 0;
  std::uint64_t consumed = 0;  // plaintext bytes in chunks already sealed or submitted
  std::uint64_t index = 0;
  auto startChunk = [&] {
    want = static_cast<std::size_t>(std::min<std::uint64_t>(plaintextSize - consumed, kChunkSize));
    if (pool) {
      while (pool->oldestIsDone()) emitRecord(pool->takeOldest());
      if (pool->inFlight() == pool->capacity()) emitRecord(pool->takeOldest());
      chunk = &pool->nextInput();
    } else {
      chunk = &single;
    }
    if (chunk->size() < want) chunk->resize(want);
    filled = 0;
  };
  auto sealChunk = [&] {
    consumed += want;
    const bool final = consumed == plaintextSize;
    if (pool) {
      pool->submit({want, index, final});
    } else {
      emitRecord(sealer->seal(chunk->data(), want, index, final));
    }
    ++index;
    chunk = nullptr;
  };
  const PlaintextSink sink = [&](const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
      if (consumed == plaintextSize) fail("The plaintext to seal is longer than announced.");
      if (chunk == nullptr) startChunk();
      const std::size_t n = std::min(size, want - filled);
      std::memcpy(chunk->data() + filled, data, n);
      filled += n;
      data += n;
      size -= n;
      if (filled == want) sealChunk();
    }
  };
  produce(sink);
  if (consumed != plaintextSize) fail("The plaintext to seal is shorter than announced.");
  if (plaintextSize == 0) emitRecord(sealer->seal(nullptr, 0, 0, true));
  if (pool) {
    while (pool->inFlight() > 0) emitRecord(pool->takeOldest());
  }
  return SealedStream{digest.finishHex(), blobSize};
}

void EncryptedBlobCodec::openFile(const std::filesystem::path& from, const std::filesystem::path& to) const {
  OpenFile in = openForReading(from);
  writeThroughTemporaryFile(to, [&](int out, const std::filesystem::path& temporary) {
    readBlobStream(keys_->encryption, in.get(), from,
                   [&](const std::uint8_t* data, std::size_t size) { writeFully(out, data, size, temporary); });
  });
}

void EncryptedBlobCodec::openStream(int in, const std::filesystem::path& from,
                                    const std::function<void(const std::uint8_t*, std::size_t)>& sink,
                                    unsigned workers) const {
  readBlobStream(
      keys_->encryption, in, from, [&](const std::uint8_t* data, std::size_t size) { sink(data, size); }, workers);
}

void EncryptedBlobCodec::openStreamPlaced(int in, const std::filesystem::path& from, const PlacedSink& place,
                                          const std::function<void(const std::uint8_t*, std::size_t)>& sink,
                                          unsigned workers) const {
  readBlobStream(
      keys_->encryption, in, from, [&](const std::uint8_t* data, std::size_t size) { sink(data, size); }, workers,
      &place);
}

bool EncryptedBlobCodec::isEncryptedBlob(const Bytes& data) {
  return data.size() >= kMagicSize && std::memcmp(data.data(), kMagic, kMagicSize) == 0;
}

bool EncryptedBlobCodec::isEncryptedBlobAt(const std::filesystem::path& file) {
  OpenFile in = openForReading(file);
  std::uint8_t start[kMagicSize];
  if (readFully(in.get(), start, sizeof start, file) != sizeof start) return false;
  return std::memcmp(start, kMagic, kMagicSize) == 0;
}

}  // namespace tvr
