#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/crypto/EncryptedBlobCodec.h"
#include "engine/crypto/RepositoryKeyMaterial.h"

namespace tvr {

struct RepositoryMetadata;  // engine/metadata/RepositoryMetadata.h

inline constexpr const char* kRepositoryIntegrityVerifierErrorDomain = "RepositoryIntegrityVerifier";

// One problem found in a repository's blob store.
struct RepositoryIntegrityIssue {
  enum class Kind { missingBlob, corruptBlob, orphanBlob };

  Kind kind = Kind::missingBlob;
  std::string blobKey;
  // The blob file concerned (the expected path for a missing blob); always filled.
  std::optional<std::string> path;

  bool operator==(const RepositoryIntegrityIssue&) const = default;
};

// "missingBlob", "corruptBlob", "orphanBlob".
std::string repositoryIntegrityIssueKindName(RepositoryIntegrityIssue::Kind kind);

struct RepositoryIntegrityReport {
  std::int64_t referencedBlobCount = 0;  // distinct blob keys the catalog refers to
  std::int64_t storedBlobCount = 0;      // blob files found
  // All missing blobs by key, then orphan and corrupt blobs interleaved in key order.
  std::vector<RepositoryIntegrityIssue> issues;

  bool isHealthy() const noexcept { return issues.empty(); }
  bool operator==(const RepositoryIntegrityReport&) const = default;
};

// What a verify found, before its issues are spelled out: the counts, and the issues on
// demand in report order, so that a report of millions of issues (a repository whose blobs
// were never copied has one per file) goes to its reader without being held. Holds the
// blob keys (32 bytes each) and one byte per stored blob. Move-only.
class RepositoryIntegrityFindings {
 public:
  RepositoryIntegrityFindings(RepositoryIntegrityFindings&&) noexcept;
  RepositoryIntegrityFindings& operator=(RepositoryIntegrityFindings&&) noexcept;
  ~RepositoryIntegrityFindings();

  std::int64_t referencedBlobCount() const noexcept;
  std::int64_t storedBlobCount() const noexcept;
  std::int64_t issueCount() const noexcept;
  bool isHealthy() const noexcept { return issueCount() == 0; }

  // Every issue in the order of RepositoryIntegrityReport::issues.
  void forEachIssue(const std::function<void(const RepositoryIntegrityIssue&)>& visit) const;
  // All of it at once.
  RepositoryIntegrityReport report() const;

 private:
  friend class RepositoryIntegrityVerifier;
  struct State;
  explicit RepositoryIntegrityFindings(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// How far a verify has come, for an indicator drawn on another thread. `started` is called
// once on the verifying thread, before the first blob is hashed, with the number and total
// size of the blobs it will hash; the counters then grow as each blob is done.
struct RepositoryIntegrityProgress {
  std::function<void(std::int64_t blobCount, std::int64_t byteCount)> started;
  std::atomic<std::int64_t> blobsDone{0};
  std::atomic<std::int64_t> bytesDone{0};  // sizes of the blobs done
};

// Walks the blobs directory for the verifier. One instance per walk; not thread-safe.
class RepositoryBlobEnumerator {
 public:
  virtual ~RepositoryBlobEnumerator() = default;
  // The next item of the walk, or nullopt at its end.
  virtual std::optional<std::filesystem::path> nextURL() = 0;
  // Whether the item last returned by nextURL is a regular file (not following a link);
  // throws when that cannot be read.
  virtual bool isRegularFile() = 0;
};

// Given the blobs directory, an enumerator over it, or null when none can be made.
using RepositoryBlobEnumeratorFactory =
    std::function<std::unique_ptr<RepositoryBlobEnumerator>(const std::filesystem::path& blobsDirectory)>;

// Checks a local repository's blob store against its catalog: every blob key the catalog
// refers to must exist as a blob file, every blob file must be referred to, and every
// referred blob file must hash to its own key. Reads only; never repairs anything.
//
// A value; `verify` may run on any thread, and itself hashes blobs on workerCount() threads
// (the chunks of a large blob too), with the report of doing it one by one. Integrity problems are issues in the report,
// never errors. Errors: tvr::Error of domain "RepositoryIntegrityVerifier" (code 1: the blob
// enumerator cannot be created; code 2: an encrypted repository without key material;
// code `catalogDamagedCode`: SQLite's structural check of the catalog failed, message
// "Repository catalog is damaged: " + its first finding); metadata, catalog and
// file-system errors pass through. A referenced blob counts as present only at its own
// path blobs/<first two>/<key>, where readers look for it.
class RepositoryIntegrityVerifier {
 public:
  static constexpr long catalogDamagedCode = 3;
  static constexpr std::size_t hashChunkSize = 1048576;

  explicit RepositoryIntegrityVerifier(std::optional<RepositoryKeyMaterial> repositoryKeyMaterial);
  RepositoryIntegrityVerifier(std::optional<RepositoryKeyMaterial> repositoryKeyMaterial,
                              RepositoryBlobEnumeratorFactory blobEnumeratorFactory);

  // Depth-first walk skipping hidden files and not descending into hidden directories or
  // through links; directories that cannot be read are skipped.
  static RepositoryBlobEnumeratorFactory defaultBlobEnumeratorFactory();

  RepositoryIntegrityReport verify(const std::filesystem::path& root) const;
  // The same check, its issues left to be read in order from the findings; `progress`, when
  // given, is kept up to date while blobs are hashed.
  RepositoryIntegrityFindings check(const std::filesystem::path& root,
                                    RepositoryIntegrityProgress* progress = nullptr) const;

  // The key a stored blob file deserves: SHA-256 of its bytes for a checkpoint manifest or
  // an unencrypted repository; otherwise the blob key of its decrypted plaintext (or the
  // SHA-256 of a file that is not an encrypted blob at all). Decryption errors pass through.
  // `workers` threads decode the chunks of a blob of several chunks.
  std::string verifiedBlobKey(const std::filesystem::path& blob, const std::optional<RepositoryMetadata>& metadata,
                              bool isCheckpointBlob, unsigned workers = 1) const;

  // Threads verify uses (0: the default, EncryptedBlobCodec::parallelWorkerCount()); the
  // report is the same for any count.
  void setWorkerCount(unsigned workers);
  unsigned workerCount() const noexcept { return workers_; }

  // SHA-256 of a file read in 1 MiB chunks, as 64 lowercase hexadecimal digits.
  static std::string sha256Hex(const std::filesystem::path& file);

 private:
  std::optional<RepositoryKeyMaterial> keyMaterial_;
  std::optional<EncryptedBlobCodec> codec_;  // one for all blobs: its keys are derived once
  RepositoryBlobEnumeratorFactory blobEnumeratorFactory_;
  unsigned workers_;
};

}  // namespace tvr
