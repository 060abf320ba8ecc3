#include "engine/storage/RepositoryObjectKeyList.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "platform/Error.h"

namespace tvr {

void RepositoryObjectKeyList::append(std::string_view key, std::int64_t size) {
  if (key.size() > UINT32_MAX) throw EngineError::ioError("Repository object key is too long.");
  if (blocks_.empty() || blockCapacity_ - blockUsed_ < key.size()) {
    // A key longer than a block gets a block of its own size.
    blockCapacity_ = std::max(kBlockSize, key.size());
    blocks_.push_back(std::make_unique<char[]>(blockCapacity_));
    blockUsed_ = 0;
  }
  std::memcpy(blocks_.back().get() + blockUsed_, key.data(), key.size());
  offsets_.push_back((static_cast<std::uint64_t>(blocks_.size() - 1) << 32) | blockUsed_);
  lengths_.push_back(static_cast<std::uint32_t>(key.size()));
  sizes_.push_back(size);
  blockUsed_ += key.size();
}

std::string_view RepositoryObjectKeyList::key(std::size_t index) const {
  std::uint64_t offset = offsets_[index];
  return {blocks_[offset >> 32].get() + (offset & 0xFFFFFFFFu), lengths_[index]};
}

void RepositoryObjectKeyList::sortAndRemoveDuplicates() {
  bool ordered = true;
  for (std::size_t i = 1; i < size() && ordered; ++i) ordered = key(i - 1) < key(i);
  if (ordered) return;
  std::vector<std::uint32_t> order(size());
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(), [this](std::uint32_t a, std::uint32_t b) { return key(a) < key(b); });
  RepositoryObjectKeyList sorted;
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (i > 0 && key(order[i]) == key(order[i - 1])) continue;
    sorted.append(key(order[i]), sizes_[order[i]]);
  }
  *this = std::move(sorted);
}

std::vector<RepositoryObjectKey> RepositoryObjectKeyList::keys() const {
  std::vector<RepositoryObjectKey> out;
  out.reserve(size());
  for (std::size_t i = 0; i < size(); ++i) out.push_back(RepositoryObjectKey::unchecked(std::string(key(i))));
  return out;
}

}  // namespace tvr
