#include "tests/support/RecordingStorageBackend.h"

namespace tvr::test {

std::vector<RepositoryObjectWriteMode> RecordingStorageBackend::modes() const {
  std::vector<RepositoryObjectWriteMode> out;
  for (const auto& write : writes) out.push_back(write.second);
  return out;
}

RepositoryObjectWriteResult RecordingStorageBackend::writeObject(const std::filesystem::path& from,
                                                                 const RepositoryObjectKey& key,
                                                                 const RepositoryObjectWriteMode& mode,
                                                                 const CancellationToken& cancel) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    writes.emplace_back(key.rawValue(), mode);
  }
  RepositoryObjectWriteResult result = ForwardingRepositoryStorageBackend::writeObject(from, key, mode, cancel);
  if (cancelAfterFirstWrite) cancelAfterFirstWrite->cancel();
  return result;
}

void RecordingStorageBackend::readObject(const RepositoryObjectKey& key, const std::filesystem::path& to,
                                         const CancellationToken& cancel) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reads.push_back(key.rawValue());
  }
  ForwardingRepositoryStorageBackend::readObject(key, to, cancel);
}

std::vector<RepositoryObjectKey> RecordingStorageBackend::listObjectKeys(const std::optional<std::string>& prefix,
                                                                         const CancellationToken& cancel) {
  return listing ? *listing : ForwardingRepositoryStorageBackend::listObjectKeys(prefix, cancel);
}

RepositoryObjectKeyList RecordingStorageBackend::listObjectsWithSizes(const std::optional<std::string>& prefix,
                                                                      const CancellationToken& cancel) {
  // The interface's own default builds the list from listObjectKeys, without sizes.
  return listing ? RepositoryStorageBackend::listObjectsWithSizes(prefix, cancel)
                 : ForwardingRepositoryStorageBackend::listObjectsWithSizes(prefix, cancel);
}

std::vector<std::string> rawKeys(const std::vector<RepositoryObjectKey>& keys) {
  std::vector<std::string> out;
  for (const auto& key : keys) out.push_back(key.rawValue());
  return out;
}

}  // namespace tvr::test
