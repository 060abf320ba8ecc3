#include "engine/storage/RepositoryObjectKeyList.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "platform/Error.h"

namespace tvr {

namespace {

constexpr std::string_view kBlobsPrefix = "blobs/";
constexpr std::size_t kBlobKeyLength = 73;  // "blobs/" + 2 + "/" + 64
constexpr char kHexDigits[] = "0123456789abcdef";

// The layout every backend gives a blob, with its shard matching the key: only such keys
// spell back to the same text from their 32 bytes.
bool isBlobObjectKey(std::string_view key) {
  return key.size() == kBlobKeyLength && key.starts_with(kBlobsPrefix) && key[8] == '/' && key[6] == key[9] &&
         key[7] == key[10] && RepositoryObjectKey::isBlobKey(key.substr(9));
}

// Only for a key isBlobObjectKey accepts.
std::array<std::uint8_t, 32> digestOf(std::string_view key) { return *RepositoryObjectKey::blobKeyBytes(key.substr(9)); }

// Lowercase hexadecimal sorts like the bytes it spells, so blob keys sort by their digests.
void spell(const std::array<std::uint8_t, 32>& digest, char* out) {
  std::memcpy(out, kBlobsPrefix.data(), kBlobsPrefix.size());
  for (std::size_t i = 0; i < digest.size(); ++i) {
    out[9 + 2 * i] = kHexDigits[digest[i] >> 4];
    out[10 + 2 * i] = kHexDigits[digest[i] & 0xF];
  }
  out[6] = out[9];
  out[7] = out[10];
  out[8] = '/';
}

}  // namespace

void RepositoryObjectKeyList::TextEntries::append(std::string_view key, std::int64_t size) {
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

std::string_view RepositoryObjectKeyList::TextEntries::key(std::size_t index) const {
  std::uint64_t offset = offsets_[index];
  return {blocks_[offset >> 32].get() + (offset & 0xFFFFFFFFu), lengths_[index]};
}

void RepositoryObjectKeyList::TextEntries::sortAndRemoveDuplicates() {
  bool ordered = true;
  for (std::size_t i = 1; i < size() && ordered; ++i) ordered = key(i - 1) < key(i);
  if (ordered) return;
  std::vector<std::uint32_t> order(size());
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(), [this](std::uint32_t a, std::uint32_t b) { return key(a) < key(b); });
  TextEntries sorted;
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (i > 0 && key(order[i]) == key(order[i - 1])) continue;
    sorted.append(key(order[i]), sizes_[order[i]]);
  }
  *this = std::move(sorted);
}

void RepositoryObjectKeyList::append(std::string_view key, std::int64_t size) {
  if (!isBlobObjectKey(key)) {
    textPositions_.push_back(this->size());
    texts_.append(key, size);
    return;
  }
  if ((blobCount_ >> kBlobBlockShift) == blobBlocks_.size()) {
    blobBlocks_.push_back(std::make_unique<BlobEntry[]>(kBlobBlockSize));
  }
  blob(blobCount_) = BlobEntry{digestOf(key), size};
  ++blobCount_;
}

bool RepositoryObjectKeyList::locate(std::size_t index, std::size_t& at) const {
  auto it = std::lower_bound(textPositions_.begin(), textPositions_.end(), index);
  std::size_t textsBefore = static_cast<std::size_t>(it - textPositions_.begin());
  if (it != textPositions_.end() && *it == index) {
    at = textsBefore;
    return true;
  }
  at = index - textsBefore;
  return false;
}

std::string RepositoryObjectKeyList::key(std::size_t index) const {
  std::size_t at = 0;
  if (locate(index, at)) return std::string(texts_.key(at));
  std::string text(kBlobKeyLength, '\0');
  spell(blob(at).digest, text.data());
  return text;
}

std::int64_t RepositoryObjectKeyList::objectSize(std::size_t index) const {
  std::size_t at = 0;
  return locate(index, at) ? texts_.objectSize(at) : blob(at).size;
}

bool RepositoryObjectKeyList::contains(std::string_view key) const {
  if (isBlobObjectKey(key)) {
    std::array<std::uint8_t, 32> digest = digestOf(key);
    for (std::size_t i = 0; i < blobCount_; ++i) {
      if (blob(i).digest == digest) return true;
    }
    return false;
  }
  for (std::size_t i = 0; i < texts_.size(); ++i) {
    if (texts_.key(i) == key) return true;
  }
  return false;
}

void RepositoryObjectKeyList::sortBlobs() {
  bool ordered = true;
  for (std::size_t i = 1; i < blobCount_ && ordered; ++i) ordered = blob(i - 1).digest < blob(i).digest;
  if (ordered) return;
  if (blobCount_ > UINT32_MAX) throw EngineError::ioError("Too many repository objects in one listing.");
  // Sorted through an index (4 bytes an entry) and then moved into place, so the entries
  // are never copied whole; equal keys keep the order they came in, and the first stays.
  std::vector<std::uint32_t> order(blobCount_);
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(), [this](std::uint32_t a, std::uint32_t b) {
    const auto& left = blob(a).digest;
    const auto& right = blob(b).digest;
    return left < right || (left == right && a < b);
  });
  // Entry i takes the one at order[i], following each cycle of the permutation once.
  for (std::size_t i = 0; i < blobCount_; ++i) {
    if (order[i] == i) continue;
    BlobEntry first = blob(i);
    std::size_t j = i;
    for (;;) {
      std::size_t from = order[j];
      order[j] = static_cast<std::uint32_t>(j);
      if (from == i) {
        blob(j) = first;
        break;
      }
      blob(j) = blob(from);
      j = from;
    }
  }
  std::vector<std::uint32_t>().swap(order);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < blobCount_; ++i) {
    if (kept > 0 && blob(kept - 1).digest == blob(i).digest) continue;
    if (kept != i) blob(kept) = blob(i);
    ++kept;
  }
  blobCount_ = kept;
  blobBlocks_.resize((blobCount_ + kBlobBlockSize - 1) >> kBlobBlockShift);
}

void RepositoryObjectKeyList::placeTexts() {
  textPositions_.resize(texts_.size());
  char spelled[kBlobKeyLength];
  std::size_t low = 0;
  for (std::size_t t = 0; t < texts_.size(); ++t) {
    // The number of blobs before this text: texts are sorted, so the search starts where the
    // last one ended. A text never equals a blob key.
    std::string_view text = texts_.key(t);
    std::size_t high = blobCount_;
    while (low < high) {
      std::size_t middle = low + (high - low) / 2;
      spell(blob(middle).digest, spelled);
      if (std::string_view(spelled, kBlobKeyLength) < text) {
        low = middle + 1;
      } else {
        high = middle;
      }
    }
    textPositions_[t] = t + low;
  }
}

void RepositoryObjectKeyList::sortAndRemoveDuplicates() {
  texts_.sortAndRemoveDuplicates();
  sortBlobs();
  placeTexts();
}

std::vector<RepositoryObjectKey> RepositoryObjectKeyList::keys() const {
  std::vector<RepositoryObjectKey> out;
  out.reserve(size());
  for (std::size_t i = 0; i < size(); ++i) out.push_back(RepositoryObjectKey::unchecked(key(i)));
  return out;
}

}  // namespace tvr
