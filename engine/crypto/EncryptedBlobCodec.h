#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "engine/crypto/CryptoPrimitives.h"
#include "engine/crypto/RepositoryKeyMaterial.h"
#include "platform/Bytes.h"

namespace tvr {

namespace detail {
struct BlobCodecKeys;
}

// Blob keys (HMAC-SHA256 of the plaintext under the blob-key key, 64 lowercase hex digits)
// and the chunked blob format: a 20-byte header ("BKBLOB2\n", plaintext size, chunk size
// 1048576) followed by chunks of LZFSE-compressed plaintext sealed with AES-256-GCM, each
// authenticating the header, its index, its plaintext length and its final flag.
//
// Immutable value holding one repository key; safe to use from several threads at once.
// Format errors throw tvr::Error of domain "EncryptedBlobCodec", code 1; cipher
// (crypto::CipherError), compression ("RepositoryCompression") and file-system (PosixError)
// errors pass through. Streamed operations hold one chunk in memory at a time and, on
// failure, leave no temporary file and do not touch an existing destination.
class EncryptedBlobCodec {
 public:
  static constexpr std::size_t headerSize = 20;
  static constexpr std::size_t chunkSize = 1048576;
  static constexpr std::size_t chunkPrefixSize = 9;
  // Largest payload or plaintext a reader accepts for one chunk, checked before any
  // buffer is allocated; the writer stays far below it.
  static constexpr std::size_t maximumChunkLength = 64 * 1024 * 1024;
  // Beyond this many threads decoding is bound by the disk and the one in-order hash.
  static constexpr unsigned maximumParallelWorkers = 8;

  // How many threads parallel blob work (restore, export, verify, local copies) uses: one
  // per core, at most maximumParallelWorkers. The one knob for all of them.
  static unsigned parallelWorkerCount();

  explicit EncryptedBlobCodec(const RepositoryKeyMaterial& keyMaterial);

  // A keyed hash ready for one plaintext, whose hex digest is that plaintext's blob key.
  crypto::HMACSHA256 newBlobKeyMac() const;

  std::string blobKeyForPlaintext(const std::uint8_t* data, std::size_t size) const;
  std::string blobKeyForPlaintext(const Bytes& plaintext) const {
    return blobKeyForPlaintext(plaintext.data(), plaintext.size());
  }

  // Streamed blob key of a plaintext file. The handler is called once before reading and
  // after every piece read; whatever it throws stops the operation and passes through.
  // An empty handler is never called.
  std::string blobKeyForFile(const std::filesystem::path& file, const std::function<void()>& cancellationHandler) const;

  // Decrypts a stored blob file (streamed, nothing written) and returns the blob key of
  // its plaintext, with the same checks and messages as openFile. With `workers` > 1 the
  // chunks of a blob of more than one chunk are decrypted on that many threads.
  std::string blobKeyForEncryptedBlobAt(const std::filesystem::path& blob, unsigned workers = 1) const;

  // Whole blob in memory.
  Bytes seal(const Bytes& plaintext) const;
  Bytes open(const Bytes& blob) const;

  // Streamed between files through a temporary sibling of the destination, which is then
  // renamed over it. The source of sealFile must be a regular file; its size is taken once.
  void sealFile(const std::filesystem::path& from, const std::filesystem::path& to) const;

  // What sealFileMeasuringContent stored: the blob key and size of the plaintext it actually
  // read and sealed (computed in the same pass) and the size of the blob written.
  struct SealedFile {
    std::string blobKey;
    std::uint64_t plaintextSize = 0;
    std::uint64_t blobSize = 0;
  };
  // sealFile that also measures what it sealed, so a file edited after its key was planned is
  // still stored under the key of its bytes. Returns nothing (and writes nothing) when the
  // source shrank while it was read. With `workers` > 1 the chunks of a large file are
  // compressed and encrypted on that many threads; the blob is the same format either way.
  std::optional<SealedFile> sealFileMeasuringContent(const std::filesystem::path& from, const std::filesystem::path& to,
                                                     unsigned workers = 1) const;
  void openFile(const std::filesystem::path& from, const std::filesystem::path& to) const;

  // Seals a plaintext of `plaintextSize` bytes that `produce` hands to its sink in pieces of
  // any size, writing each sealed chunk to the open descriptor `out` (named `outPath` in
  // errors; neither closed nor rewound) as soon as the chunk is full, so only a few chunks are
  // held whatever the size. The blob is the one seal() makes of the whole plaintext: the same
  // header, cut, compression and record layout, fresh nonces. With `workers` > 1 the chunks of
  // a plaintext of more than one chunk are compressed and encrypted on that many threads.
  // Whatever `produce` throws passes through; a plaintext longer or shorter than announced
  // fails (domain "EncryptedBlobCodec", code 1). What was already written stays: the caller
  // owns the file. Returns the SHA-256 of the blob written (lowercase hex) and its size.
  struct SealedStream {
    std::string blobSHA256;
    std::uint64_t blobSize = 0;
  };
  using PlaintextSink = std::function<void(const std::uint8_t* data, std::size_t size)>;
  SealedStream sealStream(std::uint64_t plaintextSize, const std::function<void(const PlaintextSink&)>& produce,
                          int out, const std::filesystem::path& outPath, unsigned workers = 1) const;

  // Decrypts the blob read from the open descriptor `in` (named `from` in errors; neither
  // closed nor rewound) and hands each chunk's plaintext to `sink` as soon as that chunk is
  // authenticated, with the checks and messages of openFile. Whatever the sink throws stops
  // the stream and passes through.
  //
  // With `workers` > 1 and a blob of more than one chunk, chunks are decrypted and
  // decompressed on that many threads while this thread reads a bounded window ahead
  // (four chunks per worker); the sink still runs on this thread, in index order, and sees a
  // chunk only once it is authenticated. Errors are those of the one-thread stream and
  // come in the same order: a fault found while reading ahead is raised only after every
  // chunk before it has been handed on.
  void openStream(int in, const std::filesystem::path& from,
                  const std::function<void(const std::uint8_t*, std::size_t)>& sink, unsigned workers = 1) const;

  // openStream that also hands each authenticated chunk to `place` with its offset in the
  // plaintext, before `sink` sees it: on the thread that decoded it, in any order, so that
  // writing a large file at offsets runs on every core while `sink` (a hash, say) keeps the
  // index order on this thread. Whatever `place` throws is raised at that chunk's turn, as a
  // sink's error would be; chunks after it may have been placed already.
  using PlacedSink = std::function<void(std::uint64_t offset, const std::uint8_t* data, std::size_t size)>;
  void openStreamPlaced(int in, const std::filesystem::path& from, const PlacedSink& place,
                        const std::function<void(const std::uint8_t*, std::size_t)>& sink, unsigned workers = 1) const;

  // True when the data begins with the 8 magic bytes.
  static bool isEncryptedBlob(const Bytes& data);
  // Reads the first 8 bytes of the file: a file that cannot be opened throws PosixError;
  // a shorter file answers false.
  static bool isEncryptedBlobAt(const std::filesystem::path& file);

 private:
  std::shared_ptr<const detail::BlobCodecKeys> keys_;  // derived once, shared by copies and threads
};

}  // namespace tvr
