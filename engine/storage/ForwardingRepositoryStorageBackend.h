#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/storage/RepositoryStorageBackend.h"

namespace tvr {

// A RepositoryStorageBackend that passes every call on to a wrapped backend unchanged.
// Subclasses override only the calls they check, count or fault, and call the base to
// forward. The wrapped backend is borrowed: it must outlive this object. Thread-safe as far
// as the wrapped backend is; throws whatever it throws.
class ForwardingRepositoryStorageBackend : public RepositoryStorageBackend {
 public:
  explicit ForwardingRepositoryStorageBackend(RepositoryStorageBackend& inner) : inner_(inner) {}

  std::string displayName() const override { return inner_.displayName(); }

  bool objectExists(const RepositoryObjectKey& key,
                    const CancellationToken& cancel = CancellationToken::none()) override {
    return inner_.objectExists(key, cancel);
  }

  RepositoryObjectWriteResult writeObject(const std::filesystem::path& from, const RepositoryObjectKey& key,
                                          const RepositoryObjectWriteMode& mode,
                                          const CancellationToken& cancel = CancellationToken::none()) override {
    return inner_.writeObject(from, key, mode, cancel);
  }

  void readObject(const RepositoryObjectKey& key, const std::filesystem::path& to,
                  const CancellationToken& cancel = CancellationToken::none()) override {
    inner_.readObject(key, to, cancel);
  }

  void deleteObject(const RepositoryObjectKey& key,
                    const CancellationToken& cancel = CancellationToken::none()) override {
    inner_.deleteObject(key, cancel);
  }

  std::vector<RepositoryObjectKey> listObjectKeys(
      const std::optional<std::string>& prefix = std::nullopt,
      const CancellationToken& cancel = CancellationToken::none()) override {
    return inner_.listObjectKeys(prefix, cancel);
  }

  RepositoryObjectKeyList listObjectsWithSizes(const std::optional<std::string>& prefix = std::nullopt,
                                               const CancellationToken& cancel = CancellationToken::none()) override {
    return inner_.listObjectsWithSizes(prefix, cancel);
  }

  unsigned preferredTransferConcurrency() const override { return inner_.preferredTransferConcurrency(); }

 protected:
  RepositoryStorageBackend& inner() const { return inner_; }

 private:
  RepositoryStorageBackend& inner_;
};

}  // namespace tvr
