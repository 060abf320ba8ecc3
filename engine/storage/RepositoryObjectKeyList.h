#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/RepositoryObjectKey.h"

namespace tvr {

// A listing of object keys with their sizes, held compactly. A blob object key
// ("blobs/<first two>/<64 hex digits>", nearly every key of a repository) is kept as its 32
// bytes beside its size, 40 bytes an entry, in blocks that never need a doubling copy: two
// million blobs take some 80 MiB. Any other key keeps its text end to end in blocks of at
// least 1 MiB at 20 bytes an entry beside the text, and costs a binary search per lookup
// (few keys are not blob keys). Entries keep the order they were appended in until
// `sortAndRemoveDuplicates` orders them by raw key (byte order).
// Not thread-safe for writing; concurrent readers are fine.
class RepositoryObjectKeyList {
 public:
  static constexpr std::int64_t kUnknownSize = -1;

  void append(std::string_view key, std::int64_t size = kUnknownSize);
  std::size_t size() const noexcept { return blobCount_ + texts_.size(); }
  bool empty() const noexcept { return size() == 0; }
  std::string key(std::size_t index) const;
  // The object's size as the store reported it, or kUnknownSize.
  std::int64_t objectSize(std::size_t index) const;
  // Whether the list holds this exact key.
  bool contains(std::string_view key) const;

  // Sorts by raw key and keeps the first entry of each key. Cheap when already in order.
  void sortAndRemoveDuplicates();

  std::vector<RepositoryObjectKey> keys() const;  // unchecked: the entries came validated

 private:
  // Keys that are not blob keys: texts end to end, appended order until sorted.
  class TextEntries {
   public:
    void append(std::string_view key, std::int64_t size);
    std::size_t size() const noexcept { return offsets_.size(); }
    std::string_view key(std::size_t index) const;
    std::int64_t objectSize(std::size_t index) const { return sizes_[index]; }
    void sortAndRemoveDuplicates();

   private:
    static constexpr std::size_t kBlockSize = 1 << 20;
    std::vector<std::unique_ptr<char[]>> blocks_;
    std::size_t blockUsed_ = 0;
    std::size_t blockCapacity_ = 0;
    std::vector<std::uint64_t> offsets_;  // block index << 32 | offset in the block
    std::vector<std::uint32_t> lengths_;
    std::vector<std::int64_t> sizes_;
  };

  struct BlobEntry {
    std::array<std::uint8_t, 32> digest;
    std::int64_t size;
  };
  static constexpr std::size_t kBlobBlockShift = 15;  // 32,768 entries, 1.25 MiB a block
  static constexpr std::size_t kBlobBlockSize = std::size_t{1} << kBlobBlockShift;

  BlobEntry& blob(std::size_t index) { return blobBlocks_[index >> kBlobBlockShift][index & (kBlobBlockSize - 1)]; }
  const BlobEntry& blob(std::size_t index) const {
    return blobBlocks_[index >> kBlobBlockShift][index & (kBlobBlockSize - 1)];
  }
  // Where entry `index` lives: true and the text entry's index, or false and the blob's.
  bool locate(std::size_t index, std::size_t& at) const;
  void sortBlobs();
  // The places of the text entries among the sorted blobs, by merging both orders.
  void placeTexts();

  std::vector<std::unique_ptr<BlobEntry[]>> blobBlocks_;
  std::size_t blobCount_ = 0;
  TextEntries texts_;
  // The list index of each text entry, ascending; the blobs fill the other indexes in order.
  std::vector<std::size_t> textPositions_;
};

}  // namespace tvr
