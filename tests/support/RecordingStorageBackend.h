#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/storage/ForwardingRepositoryStorageBackend.h"

namespace tvr::test {

// Forwards to a real backend and records what was asked of it: every write with its mode
// and every read, in call order (safe from several threads). The listing can be replaced
// (it then has no sizes), and a token can be cancelled after each write. It asks for one
// transfer at a time so that reads are recorded in the order they were made. Borrows the
// inner backend, or shares it with the shared_ptr constructor.
class RecordingStorageBackend : public ForwardingRepositoryStorageBackend {
 public:
  explicit RecordingStorageBackend(RepositoryStorageBackend& inner) : ForwardingRepositoryStorageBackend(inner) {}
  explicit RecordingStorageBackend(std::shared_ptr<RepositoryStorageBackend> inner)
      : ForwardingRepositoryStorageBackend(*inner), owned_(std::move(inner)) {}

  // Key and mode of each writeObject call.
  std::vector<std::pair<std::string, RepositoryObjectWriteMode>> writes;
  // Key of each readObject call.
  std::vector<std::string> reads;
  // When set, listObjectKeys returns it and listObjectsWithSizes gives it without sizes.
  std::optional<std::vector<RepositoryObjectKey>> listing;
  // When set, cancelled after every write (so the caller sees it after the first).
  CancellationToken* cancelAfterFirstWrite = nullptr;

  std::vector<RepositoryObjectWriteMode> modes() const;
  std::set<std::string> sortedReads() const { return {reads.begin(), reads.end()}; }

  RepositoryObjectWriteResult writeObject(const std::filesystem::path& from, const RepositoryObjectKey& key,
                                          const RepositoryObjectWriteMode& mode,
                                          const CancellationToken& cancel = CancellationToken::none()) override;
  void readObject(const RepositoryObjectKey& key, const std::filesystem::path& to,
                  const CancellationToken& cancel = CancellationToken::none()) override;
  std::vector<RepositoryObjectKey> listObjectKeys(const std::optional<std::string>& prefix = std::nullopt,
                                                  const CancellationToken& cancel = CancellationToken::none()) override;
  RepositoryObjectKeyList listObjectsWithSizes(const std::optional<std::string>& prefix = std::nullopt,
                                               const CancellationToken& cancel = CancellationToken::none()) override;
  unsigned preferredTransferConcurrency() const override { return 1; }

 private:
  std::shared_ptr<RepositoryStorageBackend> owned_;
  std::mutex mutex_;
};

// The raw strings of object keys, in order.
std::vector<std::string> rawKeys(const std::vector<RepositoryObjectKey>& keys);

}  // namespace tvr::test
