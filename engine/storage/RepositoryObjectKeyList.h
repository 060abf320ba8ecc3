#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/RepositoryObjectKey.h"

namespace tvr {

// A listing of object keys with their sizes, held compactly: the key texts lie end to end
// in blocks of at least 1 MiB and each entry costs 20 bytes beside its text, so a million
// keys of about 70 bytes take some 90 MiB and never a doubling copy of the texts.
// Holds what it is given; `sortAndRemoveDuplicates` orders it by raw key (byte order).
// Not thread-safe for writing; concurrent readers are fine.
class RepositoryObjectKeyList {
 public:
  static constexpr std::int64_t kUnknownSize = -1;

  void append(std::string_view key, std::int64_t size = kUnknownSize);
  std::size_t size() const noexcept { return offsets_.size(); }
  bool empty() const noexcept { return offsets_.empty(); }
  std::string_view key(std::size_t index) const;
  // The object's size as the store reported it, or kUnknownSize.
  std::int64_t objectSize(std::size_t index) const { return sizes_[index]; }

  // Sorts by raw key and keeps the first entry of each key. Cheap when already in order.
  void sortAndRemoveDuplicates();

  std::vector<RepositoryObjectKey> keys() const;  // unchecked: the entries came validated

 private:
  static constexpr std::size_t kBlockSize = 1 << 20;

  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t blockUsed_ = 0;
  std::size_t blockCapacity_ = 0;
  std::vector<std::uint64_t> offsets_;  // block index << 32 | offset in the block
  std::vector<std::uint32_t> lengths_;
  std::vector<std::int64_t> sizes_;
};

}  // namespace tvr
