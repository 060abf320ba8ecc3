#include "engine/catalog/SnapshotIndex.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <list>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "engine/catalog/SnapshotHistoryBuilder.h"
#include "engine/catalog/SnapshotPaths.h"
#include "engine/storage/RepositoryObjectKey.h"
#include "platform/ParallelFor.h"
#include "platform/Unicode.h"

namespace tvr {

using catalog_internal::splitPath;
using catalog_internal::trimSlashes;

namespace {

std::string_view parentOf(std::string_view path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

std::string_view lastComponent(std::string_view path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string entryName(std::string_view displayPath, std::string_view normPath) {
  std::string_view trimmed = trimSlashes(displayPath);
  if (trimmed.empty()) trimmed = trimSlashes(normPath);
  return std::string(lastComponent(trimmed));
}

// A child's path from its folder's: the top level's children are their own component.
std::string composePath(std::string_view folder, std::string_view component) {
  if (folder.empty()) return std::string(component);
  std::string path;
  path.reserve(folder.size() + 1 + component.size());
  path.append(folder).append(1, '/').append(component);
  return path;
}

bool composes(std::string_view folder, std::string_view component, std::string_view path) {
  if (folder.empty()) return path == component;
  return path.size() == folder.size() + 1 + component.size() && path.starts_with(folder) &&
         path[folder.size()] == '/' && path.ends_with(component);
}

std::uint64_t pathHash(std::string_view path) { return std::hash<std::string_view>{}(path); }

}  // namespace

// ---------------------------------------------------------------- the compact store

// One fixed-size record per entry; its strings are packed one after another in large
// blocks: the normalised path (only the last component for an entry of a listing), then the
// display path unless it is the listing's display folder + "/" + name, then the name unless
// it ends the display path, then a blob key that is not 64 lowercase hex digits.
class SnapshotIndex::Store {
 public:
  static constexpr std::uint32_t kNoListing = std::numeric_limits<std::uint32_t>::max();

  struct Input {
    std::string_view normPart;  // last component for a listed entry, else the whole path
    std::string_view relPath;
    std::string_view name;
    SnapshotKind kind = SnapshotKind::file;
    std::optional<std::int64_t> size;
    std::optional<double> createdAt;
    std::optional<double> modifiedAt;
    const std::optional<std::string>* blobKey = nullptr;
  };

  std::uint32_t listingFor(std::string_view path) {
    auto [it, inserted] = listingByPath_.try_emplace(std::string(path), static_cast<std::uint32_t>(listings_.size()));
    if (inserted) {
      listings_.emplace_back();
      listings_.back().path = it->first;
    }
    return it->second;
  }
  const std::string& listingPath(std::uint32_t listing) const { return listings_[listing].path; }

  // A record of the listing; `listed` puts it into the listing's children.
  std::uint32_t add(std::uint32_t listing, const Input& input, bool listed) {
    auto index = static_cast<std::uint32_t>(records_.size());
    records_.emplace_back();
    Record& record = records_.back();
    record.listing = listing;
    setStrings(record, input);
    setValues(record, input);
    if (listed) listings_[listing].pending.push_back(index);
    return index;
  }
  // A record outside every listing (a lookup answer no listing holds as such).
  std::uint32_t addUnlisted(const SnapshotEntry& entry) {
    Input input;
    input.normPart = entry.relPathNorm;
    input.relPath = entry.relPath;
    input.name = entry.name;
    input.kind = entry.kind;
    input.size = entry.sizeBytes;
    input.createdAt = entry.createdAt;
    input.modifiedAt = entry.modifiedAt;
    input.blobKey = &entry.blobKey;
    return add(kNoListing, input, false);
  }
  void rename(std::uint32_t index, std::string_view relPath, std::string_view name) {
    Record& record = records_[index];
    Input input;
    input.normPart = normPart(record);
    input.relPath = relPath;
    input.name = name;
    std::optional<std::string> blobKey = this->blobKey(record);
    input.blobKey = &blobKey;
    std::string keptNorm(input.normPart);  // the old strings are replaced, so copy first
    input.normPart = keptNorm;
    setStrings(record, input);
  }
  // The place of a listed record among its listing's children when the records were not
  // added in order: the lowest rank given, children of equal rank in the order added.
  void lowerRank(std::uint32_t index, std::uint32_t rank) {
    if (ranks_.size() <= index) ranks_.resize(records_.size(), std::numeric_limits<std::uint32_t>::max());
    ranks_[index] = std::min(ranks_[index], rank);
  }
  // The values of `from` (strings, dates, kind) into `to`, keeping its place.
  void replaceWith(std::uint32_t to, std::uint32_t from) {
    std::uint32_t listing = records_[to].listing;
    records_[to] = records_[from];
    records_[to].listing = listing;
  }

  bool hasModified(std::uint32_t index) const { return (records_[index].flags & kHasModified) != 0; }
  void setModified(std::uint32_t index, double value) {
    records_[index].modified = value;
    records_[index].flags |= kHasModified;
  }
  std::optional<double> modified(std::uint32_t index) const {
    return hasModified(index) ? std::optional<double>(records_[index].modified) : std::nullopt;
  }
  bool isDirectory(std::uint32_t index) const { return (records_[index].flags & kDirectory) != 0; }

  std::string relPathNorm(std::uint32_t index) const {
    const Record& record = records_[index];
    if (record.listing == kNoListing) return std::string(normPart(record));
    return composePath(listings_[record.listing].path, normPart(record));
  }

  SnapshotEntry entry(std::uint32_t index) const {
    const Record& record = records_[index];
    SnapshotEntry entry;
    entry.kind = (record.flags & kDirectory) ? SnapshotKind::directory : SnapshotKind::file;
    entry.relPathNorm = relPathNorm(index);
    entry.id = (entry.kind == SnapshotKind::directory ? "d:" : "f:") + entry.relPathNorm;
    const char* text = record.text + record.normLength;
    if (record.flags & kDisplayComposed) {
      entry.name.assign(text, record.nameLength);
      text += record.nameLength;
      entry.relPath = composePath(listings_[record.listing].displayFolder, entry.name);
    } else {
      entry.relPath.assign(text, record.displayLength);
      text += record.displayLength;
      if (record.flags & kNameInDisplay) {
        entry.name = entry.relPath.substr(entry.relPath.size() - record.nameLength);
      } else {
        entry.name.assign(text, record.nameLength);
        text += record.nameLength;
      }
    }
    if (record.flags & kHasSize) entry.sizeBytes = record.size;
    if (record.flags & kHasCreated) entry.createdAt = record.created;
    if (record.flags & kHasModified) entry.modifiedAt = record.modified;
    if (record.flags & kHasBlob) entry.blobKey = blobKey(record);
    return entry;
  }

  // Sorts every listing's children (directories first, then files, each in Finder order of
  // the name or of the normalised path; stable) and fixes the listings. With
  // `firstFileOfAPathOnly` a file whose path an earlier file of the listing has is dropped.
  void finishListings(bool byName, bool firstFileOfAPathOnly) {
    // Each listing is sorted on its own, so they are sorted on every core; a sorted listing
    // goes back into its `pending` until all are done.
    parallelFor(
        listings_.size(),
        [&](std::size_t at) {
          ListingInfo& listing = listings_[at];
          std::vector<std::uint32_t> children = std::move(listing.pending);
          listing.pending = {};
          if (!ranks_.empty()) {
            std::stable_sort(children.begin(), children.end(),
                             [&](std::uint32_t a, std::uint32_t b) { return rankOf(a) < rankOf(b); });
          }
          if (firstFileOfAPathOnly) children = withoutRepeatedFiles(std::move(children));
          std::vector<std::string> norms;
          if (!byName) {
            norms.reserve(children.size());
            for (std::uint32_t child : children) norms.push_back(relPathNorm(child));
          }
          std::vector<std::uint32_t> positions(children.size());
          for (std::uint32_t i = 0; i < positions.size(); ++i) positions[i] = i;
          std::stable_sort(positions.begin(), positions.end(), [&](std::uint32_t a, std::uint32_t b) {
            bool aDirectory = isDirectory(children[a]);
            if (aDirectory != isDirectory(children[b])) return aDirectory;
            return byName ? unicode::finderCompare(name(records_[children[a]]), name(records_[children[b]])) < 0
                          : unicode::finderCompare(norms[a], norms[b]) < 0;
          });
          listing.pending.reserve(children.size());
          for (std::uint32_t position : positions) listing.pending.push_back(children[position]);
        },
        16);
    std::size_t total = 0;
    for (const ListingInfo& listing : listings_) total += listing.pending.size();
    order_.reserve(total);
    for (ListingInfo& listing : listings_) {
      listing.first = static_cast<std::uint32_t>(order_.size());
      listing.count = static_cast<std::uint32_t>(listing.pending.size());
      order_.insert(order_.end(), listing.pending.begin(), listing.pending.end());
      listing.pending = {};
    }
    order_.shrink_to_fit();
  }

  struct Candidate {
    std::uint64_t hash;
    std::uint32_t rank;  // which of equal paths answers: the lowest rank
    std::uint32_t record;
  };
  // The lookup from candidates; of several with one path the lowest rank answers.
  void finishLookup(std::vector<Candidate> candidates) {
    // Records are made in the order rows arrive, so equal ranks go by arrival.
    std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
      if (a.hash != b.hash) return a.hash < b.hash;
      return a.rank != b.rank ? a.rank < b.rank : a.record < b.record;
    });
    // Compacted in place: the lookup is the candidates that answer.
    std::size_t kept = 0;
    for (std::size_t begin = 0; begin < candidates.size();) {
      std::size_t end = begin + 1;
      while (end < candidates.size() && candidates[end].hash == candidates[begin].hash) ++end;
      if (end - begin == 1) {
        candidates[kept++] = candidates[begin];
      } else {
        // Equal hashes: one answer per distinct path, in rank order.
        std::vector<std::string> seen;
        for (std::size_t i = begin; i < end; ++i) {
          std::string path = relPathNorm(candidates[i].record);
          if (std::find(seen.begin(), seen.end(), path) != seen.end()) continue;
          seen.push_back(std::move(path));
          candidates[kept++] = candidates[i];
        }
      }
      begin = end;
    }
    candidates.resize(kept);
    candidates.shrink_to_fit();
    lookup_ = std::move(candidates);
  }

  // The listing's children in sorted order (positions into the records).
  Listing listing(std::string_view path) const {
    auto it = listingByPath_.find(std::string(path));
    if (it == listingByPath_.end()) return {};
    const ListingInfo& listing = listings_[it->second];
    return {order_.data() + listing.first, order_.data() + listing.first + listing.count};
  }
  std::optional<std::uint32_t> find(std::string_view path) const {
    std::uint64_t hash = pathHash(path);
    auto it = std::lower_bound(lookup_.begin(), lookup_.end(), hash,
                               [](const Candidate& slot, std::uint64_t value) { return slot.hash < value; });
    for (; it != lookup_.end() && it->hash == hash; ++it) {
      if (relPathNorm(it->record) == path) return it->record;
    }
    return std::nullopt;
  }

  std::vector<std::string> directories() const {
    std::vector<std::string> paths;
    paths.reserve(listings_.size());
    for (const ListingInfo& listing : listings_) paths.push_back(listing.path);
    return paths;
  }
  std::size_t lookupCount() const noexcept { return lookup_.size(); }
  std::size_t childCount() const noexcept { return order_.size(); }

 private:
  enum Flag : std::uint16_t {
    kDirectory = 1,
    kHasSize = 2,
    kHasCreated = 4,
    kHasModified = 8,
    kHasBlob = 16,
    kBlobText = 32,         // the blob key is packed as text (its length in `blob`)
    kDisplayComposed = 64,  // relPath is the listing's display folder + "/" + name
    kNameInDisplay = 128,   // name is the end of the packed relPath
  };
  static constexpr std::uint16_t kStringFlags = kBlobText | kDisplayComposed | kNameInDisplay;

  struct Record {
    const char* text = nullptr;
    std::uint32_t listing = kNoListing;
    std::uint32_t normLength = 0;
    std::uint32_t displayLength = 0;
    std::uint32_t nameLength = 0;
    std::uint16_t flags = 0;
    std::int64_t size = 0;
    double created = 0;
    double modified = 0;
    RepositoryObjectKey::BlobKeyBytes blob{};
  };
  struct ListingInfo {
    std::string path;           // the folder's normalised path, trimmed
    std::string displayFolder;  // the display folder its children's display paths compose with
    bool hasDisplayFolder = false;
    std::uint32_t first = 0;
    std::uint32_t count = 0;
    std::vector<std::uint32_t> pending;  // children while building
  };

  static std::string_view normPart(const Record& record) { return {record.text, record.normLength}; }
  static std::string_view name(const Record& record) {
    const char* text = record.text + record.normLength;
    if (record.flags & kDisplayComposed) return {text, record.nameLength};
    if (record.flags & kNameInDisplay) return {text + record.displayLength - record.nameLength, record.nameLength};
    return {text + record.displayLength, record.nameLength};
  }
  static std::optional<std::string> blobKey(const Record& record) {
    if (!(record.flags & kHasBlob)) return std::nullopt;
    if (!(record.flags & kBlobText)) return RepositoryObjectKey::blobKeyText(record.blob);
    std::uint32_t length = 0;
    std::memcpy(&length, record.blob.data(), sizeof(length));
    std::size_t offset = record.normLength + ((record.flags & kDisplayComposed) ? 0 : record.displayLength) +
                         ((record.flags & kNameInDisplay) ? 0 : record.nameLength);
    return std::string(record.text + offset, length);
  }

  void setStrings(Record& record, const Input& input) {
    bool composed = false;
    if (record.listing != kNoListing) {
      ListingInfo& listing = listings_[record.listing];
      // The first child that composes fixes the folder for the listing.
      if (!listing.hasDisplayFolder && input.relPath.ends_with(input.name)) {
        std::size_t folderSize = input.relPath.size() - input.name.size();
        std::string_view folder = input.relPath.substr(0, folderSize == 0 ? 0 : folderSize - 1);
        if (composes(folder, input.name, input.relPath)) {
          listing.displayFolder = std::string(folder);
          listing.hasDisplayFolder = true;
        }
      }
      composed = listing.hasDisplayFolder && composes(listing.displayFolder, input.name, input.relPath);
    }
    bool nameInDisplay = !composed && input.relPath.ends_with(input.name);
    std::string_view blobText;
    record.flags &= static_cast<std::uint16_t>(~(kStringFlags | kHasBlob));
    if (input.blobKey && *input.blobKey) {
      record.flags |= kHasBlob;
      if (std::optional<RepositoryObjectKey::BlobKeyBytes> bytes = RepositoryObjectKey::blobKeyBytes(**input.blobKey)) {
        record.blob = *bytes;
      } else {
        blobText = **input.blobKey;
        record.flags |= kBlobText;
        auto length = static_cast<std::uint32_t>(blobText.size());
        std::memcpy(record.blob.data(), &length, sizeof(length));
      }
    }
    if (composed) record.flags |= kDisplayComposed;
    if (nameInDisplay) record.flags |= kNameInDisplay;
    record.normLength = static_cast<std::uint32_t>(input.normPart.size());
    record.displayLength = composed ? 0 : static_cast<std::uint32_t>(input.relPath.size());
    record.nameLength = static_cast<std::uint32_t>(input.name.size());
    record.text = pack({input.normPart, composed ? std::string_view() : input.relPath,
                        (composed || !nameInDisplay) ? input.name : std::string_view(), blobText});
  }

  static void setValues(Record& record, const Input& input) {
    if (input.kind == SnapshotKind::directory) record.flags |= kDirectory;
    if (input.size) {
      record.flags |= kHasSize;
      record.size = *input.size;
    }
    if (input.createdAt) {
      record.flags |= kHasCreated;
      record.created = *input.createdAt;
    }
    if (input.modifiedAt) {
      record.flags |= kHasModified;
      record.modified = *input.modifiedAt;
    }
  }

  const char* pack(std::initializer_list<std::string_view> parts) {
    std::size_t total = 0;
    for (std::string_view part : parts) total += part.size();
    if (total == 0) return nullptr;
    if (blocks_.empty() || blockUsed_ + total > blockCapacity_) {
      blockCapacity_ = std::max<std::size_t>(kBlockSize, total);
      blocks_.push_back(std::make_unique<char[]>(blockCapacity_));
      blockUsed_ = 0;
    }
    char* start = blocks_.back().get() + blockUsed_;
    char* out = start;
    for (std::string_view part : parts) {
      if (part.empty()) continue;
      std::memcpy(out, part.data(), part.size());
      out += part.size();
    }
    blockUsed_ += total;
    return start;
  }

  // A file whose normalised path an earlier file of the listing has is left out; the
  // first keeps its place.
  std::vector<std::uint32_t> withoutRepeatedFiles(std::vector<std::uint32_t> children) const {
    std::vector<std::uint32_t> files;
    for (std::uint32_t i = 0; i < children.size(); ++i) {
      if (!isDirectory(children[i])) files.push_back(i);
    }
    std::stable_sort(files.begin(), files.end(), [&](std::uint32_t a, std::uint32_t b) {
      return normPart(records_[children[a]]) < normPart(records_[children[b]]);
    });
    std::vector<bool> dropped(children.size(), false);
    bool any = false;
    for (std::size_t i = 1; i < files.size(); ++i) {
      if (normPart(records_[children[files[i]]]) == normPart(records_[children[files[i - 1]]])) {
        dropped[files[i]] = true;
        any = true;
      }
    }
    if (!any) return children;
    std::vector<std::uint32_t> kept;
    kept.reserve(children.size());
    for (std::uint32_t i = 0; i < children.size(); ++i) {
      if (!dropped[i]) kept.push_back(children[i]);
    }
    return kept;
  }

  static constexpr std::size_t kBlockSize = 1 << 20;
  std::deque<Record> records_;  // a deque grows without copying what it holds
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t blockUsed_ = 0;
  std::size_t blockCapacity_ = 0;
  std::deque<ListingInfo> listings_;
  std::unordered_map<std::string, std::uint32_t> listingByPath_;
  std::vector<std::uint32_t> order_;
  std::vector<Candidate> lookup_;  // by hash of the path
  std::vector<std::uint32_t> ranks_;  // by record, once lowerRank is used

  std::uint32_t rankOf(std::uint32_t index) const {
    return index < ranks_.size() ? ranks_[index] : std::numeric_limits<std::uint32_t>::max();
  }
};

// ---------------------------------------------------------------- SnapshotIndex

SnapshotIndex::SnapshotIndex() : store_(std::make_unique<Store>()) {}
SnapshotIndex::SnapshotIndex(std::unique_ptr<Store> store) : store_(std::move(store)) {}
SnapshotIndex::~SnapshotIndex() = default;

std::vector<SnapshotEntry> SnapshotIndex::children(std::optional<std::string_view> directory) const {
  Listing found = listing(directory);
  std::vector<SnapshotEntry> list;
  list.reserve(found.size());
  for (const std::uint32_t* it = found.begin; it != found.end; ++it) list.push_back(store_->entry(*it));
  return list;
}

SnapshotIndex::Listing SnapshotIndex::listing(std::optional<std::string_view> directory) const {
  return store_->listing(trimSlashes(directory.value_or("")));
}

SnapshotEntry SnapshotIndex::entry(std::uint32_t position) const { return store_->entry(position); }

std::optional<SnapshotEntry> SnapshotIndex::fileEntry(std::string_view relPathNorm) const {
  std::optional<std::uint32_t> found = store_->find(trimSlashes(relPathNorm));
  if (!found) return std::nullopt;
  return store_->entry(*found);
}

std::vector<std::string> SnapshotIndex::directories() const { return store_->directories(); }
std::size_t SnapshotIndex::fileCount() const noexcept { return store_->lookupCount(); }

// ---------------------------------------------------------------- from a manifest

struct SnapshotIndex::ManifestBuilder::State {
  std::unique_ptr<Store> store = std::make_unique<Store>();
  // Newest file date below each directory, gathered per folder while entries arrive and
  // spread to the folders above at the end.
  std::unordered_map<std::string, double> newestBelow;
  // Each listed directory's record; a later listing of it with a date of its own replaces
  // an undated first one.
  struct DirectorySlot {
    std::uint32_t record;
    std::optional<std::uint32_t> datedLater;
  };
  std::unordered_map<std::string, DirectorySlot> directorySlots;
  // Per folder (by listing): the newest date of its own files, and its first entry, which
  // is the first entry below any folder whose first entry lies in this one.
  struct Folder {
    std::optional<double> newest;
    std::uint64_t firstSequence = 0;
    std::string firstNorm, firstDisplay;
  };
  std::vector<Folder> folders;
  std::uint64_t sequence = 0;
  std::vector<std::uint32_t> undatedFiles;

  std::optional<double> newestFor(const std::string& directory) const {
    auto it = newestBelow.find(directory);
    return it == newestBelow.end() ? std::nullopt : std::optional<double>(it->second);
  }
};

SnapshotIndex::ManifestBuilder::ManifestBuilder() : state_(std::make_unique<State>()) {}
SnapshotIndex::ManifestBuilder::~ManifestBuilder() = default;

void SnapshotIndex::ManifestBuilder::add(const SnapshotManifest::FileEntry& item) {
  State& state = *state_;
  const std::string_view norm = trimSlashes(item.relPathNorm);
  const bool isDirectory = item.kind == "directory";
  const std::uint32_t listing = state.store->listingFor(parentOf(norm));
  if (listing == state.folders.size()) {
    State::Folder& folder = state.folders.emplace_back();
    folder.firstSequence = state.sequence;
    folder.firstNorm = item.relPathNorm;
    folder.firstDisplay = item.relPath;
  }
  ++state.sequence;
  if (!isDirectory && item.modifiedAt) {
    std::optional<double>& newest = state.folders[listing].newest;
    if (!newest || *item.modifiedAt > *newest) newest = *item.modifiedAt;
  }
  // The entry the item lists; only a file carries size and blob key.
  const std::string name = entryName(item.relPath, norm);
  Store::Input input;
  input.normPart = lastComponent(norm);
  input.relPath = item.relPath;
  input.name = name;
  input.createdAt = item.createdAt;
  input.modifiedAt = item.modifiedAt;  // undated ones take the newest date below at the end
  if (isDirectory) {
    input.kind = SnapshotKind::directory;
    auto [slot, inserted] = state.directorySlots.try_emplace(std::string(norm));
    if (inserted) {
      slot->second.record = state.store->add(listing, input, true);
    } else if (!slot->second.datedLater && item.modifiedAt && !state.store->hasModified(slot->second.record)) {
      slot->second.datedLater = state.store->add(listing, input, false);
    }
  } else {
    input.size = item.sizeBytes;
    input.blobKey = &item.blobKey;
    std::uint32_t record = state.store->add(listing, input, true);
    if (!item.modifiedAt) state.undatedFiles.push_back(record);
  }
}

std::shared_ptr<const SnapshotIndex> SnapshotIndex::ManifestBuilder::finish() {
  State& state = *state_;
  Store& store = *state.store;
  // The newest date of a folder's files counts for it and every folder above it.
  for (std::uint32_t listing = 0; listing < state.folders.size(); ++listing) {
    const std::optional<double>& newest = state.folders[listing].newest;
    if (!newest) continue;
    for (std::string_view dir = store.listingPath(listing); !dir.empty(); dir = parentOf(dir)) {
      auto [it, inserted] = state.newestBelow.try_emplace(std::string(dir), *newest);
      if (!inserted && *newest > it->second) it->second = *newest;
    }
  }
  // Every ancestor of every entry, in the order the entries first name them (top down within
  // one entry), with the display path the first of them gives: the first entry below a
  // folder is the first entry of one of the folders at or below it.
  struct Ancestor {
    std::uint64_t sequence;
    std::size_t level;
    std::string display;
  };
  std::unordered_map<std::string, Ancestor> firstNamed;
  for (const State::Folder& folder : state.folders) {
    std::size_t level = 0;
    catalog_internal::forEachAncestorDirectory(
        folder.firstNorm, folder.firstDisplay, [&](const std::string& dirNorm, const std::string& dirDisplay) {
          auto [it, inserted] = firstNamed.try_emplace(dirNorm, Ancestor{folder.firstSequence, level, dirDisplay});
          if (!inserted && folder.firstSequence < it->second.sequence) it->second = {folder.firstSequence, level, dirDisplay};
          ++level;
        });
  }
  state.folders = {};
  std::vector<std::pair<const std::string*, const Ancestor*>> ancestors;
  ancestors.reserve(firstNamed.size());
  for (const auto& [dirNorm, ancestor] : firstNamed) ancestors.emplace_back(&dirNorm, &ancestor);
  std::sort(ancestors.begin(), ancestors.end(), [](const auto& a, const auto& b) {
    return a.second->sequence != b.second->sequence ? a.second->sequence < b.second->sequence
                                                    : a.second->level < b.second->level;
  });
  // A listed directory is dated by its own date, else by the newest date below it; only a
  // dated later listing replaces an undated one.
  for (auto& [path, slot] : state.directorySlots) {
    std::optional<double> newest = state.newestFor(path);
    if (!newest && !store.hasModified(slot.record) && slot.datedLater) store.replaceWith(slot.record, *slot.datedLater);
    if (!store.hasModified(slot.record) && newest) store.setModified(slot.record, *newest);
  }
  for (std::uint32_t record : state.undatedFiles) {
    if (std::optional<double> newest = state.newestFor(store.relPathNorm(record))) store.setModified(record, *newest);
  }
  state.undatedFiles = {};
  // Implied ancestors, after every listed entry so a listed directory is recorded first.
  for (const auto& [dirNorm, ancestor] : ancestors) {
    if (!state.directorySlots.try_emplace(*dirNorm, State::DirectorySlot{0, std::nullopt}).second) continue;
    Store::Input input;
    input.kind = SnapshotKind::directory;
    input.normPart = lastComponent(*dirNorm);
    input.relPath = ancestor->display;
    input.name = lastComponent(ancestor->display);
    input.modifiedAt = state.newestFor(*dirNorm);
    store.add(store.listingFor(parentOf(*dirNorm)), input, true);
  }
  ancestors = {};
  firstNamed = {};
  state.directorySlots = {};
  state.newestBelow = {};
  store.finishListings(true, false);

  // Files answer the lookup. A path listed as a file more than once answers with the first
  // of its listed entries (in listing order) that equals its last manifest entry.
  std::vector<Store::Candidate> candidates;
  candidates.reserve(store.childCount());
  for (const std::string& directory : store.directories()) {
    Listing children = store.listing(directory);
    for (const std::uint32_t* it = children.begin; it != children.end; ++it) {
      if (store.isDirectory(*it)) continue;
      std::string path = store.relPathNorm(*it);
      candidates.push_back({pathHash(path), static_cast<std::uint32_t>(candidates.size()), *it});
    }
  }
  // Repeated paths: found among equal hashes, resolved before the lookup is built.
  std::sort(candidates.begin(), candidates.end(), [](const Store::Candidate& a, const Store::Candidate& b) {
    return a.hash != b.hash ? a.hash < b.hash : a.rank < b.rank;
  });
  for (std::size_t begin = 0; begin < candidates.size();) {
    std::size_t end = begin + 1;
    while (end < candidates.size() && candidates[end].hash == candidates[begin].hash) ++end;
    if (end - begin > 1) {
      std::vector<std::pair<std::string, std::vector<std::size_t>>> groups;
      for (std::size_t i = begin; i < end; ++i) {
        std::string path = store.relPathNorm(candidates[i].record);
        auto group = std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.first == path; });
        if (group == groups.end()) {
          groups.emplace_back(std::move(path), std::vector<std::size_t>{i});
        } else {
          group->second.push_back(i);
        }
      }
      for (auto& [path, members] : groups) {
        if (members.size() < 2) continue;
        // Records are numbered in manifest order: the highest is the last entry.
        std::uint32_t last = 0;
        for (std::size_t i : members) last = std::max(last, candidates[i].record);
        const SnapshotEntry expected = store.entry(last);
        std::size_t answer = members.front();
        for (std::size_t i : members) {  // in listing order (rank)
          if (store.entry(candidates[i].record) == expected) {
            answer = i;
            break;
          }
        }
        for (std::size_t i : members) {
          if (i != answer) candidates[i].rank = std::numeric_limits<std::uint32_t>::max();
        }
        candidates[answer].rank = 0;
      }
    }
    begin = end;
  }
  store.finishLookup(std::move(candidates));
  return std::shared_ptr<const SnapshotIndex>(new SnapshotIndex(std::move(state.store)));
}

std::shared_ptr<const SnapshotIndex> SnapshotIndex::fromManifest(const SnapshotManifest& manifest) {
  ManifestBuilder builder;
  for (const SnapshotManifest::FileEntry& item : manifest.files) builder.add(item);
  return builder.finish();
}

// ---------------------------------------------------------------- history snapshots

namespace catalog_internal {

std::vector<std::string_view> splitPath(std::string_view path) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) {
      parts.push_back(path.substr(start));
      return parts;
    }
    parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
}

std::string_view trimSlashes(std::string_view path) {
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  return path;
}

namespace {
std::string joinFirst(const std::vector<std::string_view>& parts, std::size_t count) {
  std::string joined;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) joined += '/';
    joined += parts[i];
  }
  return joined;
}
}  // namespace

void HistoryDirectoryListing::add(const HistoryRow& row, const std::vector<std::string_view>& normComponents,
                                  const std::vector<std::string_view>& displayComponents, std::size_t level) {
  bool direct = level + 1 == normComponents.size();
  bool isDirectory = !direct || row.op == "mkdir";
  std::string childNorm = prefix_ + std::string(normComponents[level]);
  std::string id = (isDirectory ? "d:" : "f:") + childNorm;
  auto [slot, inserted] = indexByID_.try_emplace(id, children_.size());
  if (inserted) children_.emplace_back();
  Child& child = children_[slot->second];
  if (inserted || row.rank < child.firstRank) child.firstRank = row.rank;
  if (child.naming.claims(inserted, direct, row.rank)) {
    std::string display =
        displayComponents.size() == normComponents.size() ? joinFirst(displayComponents, level + 1) : childNorm;
    SnapshotEntry& entry = child.entry;
    entry.id = id;
    entry.relPathNorm = childNorm;
    entry.relPath = display;
    entry.name = std::string(lastComponent(display));
    entry.kind = isDirectory ? SnapshotKind::directory : SnapshotKind::file;
    if (!isDirectory) {
      entry.sizeBytes = row.sizeBytes;
      entry.createdAt = row.createdAt;
      entry.modifiedAt = row.modifiedAt;
      entry.blobKey = row.blobKey;
    }
  }
  if (isDirectory && row.modifiedAt && (!child.entry.modifiedAt || *row.modifiedAt > *child.entry.modifiedAt)) {
    child.entry.modifiedAt = row.modifiedAt;
  }
}

std::vector<SnapshotEntry> HistoryDirectoryListing::finish() {
  // Into the order of their first rows, as if the rows had come by rank.
  std::stable_sort(children_.begin(), children_.end(),
                   [](const Child& a, const Child& b) { return a.firstRank < b.firstRank; });
  std::vector<SnapshotEntry> list;
  list.reserve(children_.size());
  for (Child& child : children_) list.push_back(std::move(child.entry));
  children_.clear();
  indexByID_.clear();
  std::stable_sort(list.begin(), list.end(), [](const SnapshotEntry& a, const SnapshotEntry& b) {
    if (a.kind != b.kind) return a.kind == SnapshotKind::directory;
    return unicode::finderCompare(a.relPathNorm, b.relPathNorm) < 0;
  });
  return list;
}

HistoryChildren::HistoryChildren(std::string_view directory)
    : level_(trimSlashes(directory).empty() ? 0 : splitPath(trimSlashes(directory)).size()),
      listing_(trimSlashes(directory).empty() ? std::string() : std::string(trimSlashes(directory)) + "/") {}

void HistoryChildren::add(const HistoryRow& row) {
  const std::string& prefix = listing_.prefix();
  if (!row.relPathNorm.starts_with(prefix) || row.relPathNorm.size() == prefix.size()) return;
  listing_.add(row, splitPath(row.relPathNorm), splitPath(row.relPath), level_);
}

SnapshotEntry historyFileEntry(const HistoryRow& row) {
  SnapshotEntry entry;
  entry.kind = SnapshotKind::file;
  entry.relPathNorm = row.relPathNorm;
  entry.id = "f:" + row.relPathNorm;
  entry.relPath = row.relPath;
  entry.name = std::string(lastComponent(trimSlashes(row.relPath)));
  entry.sizeBytes = row.sizeBytes.value_or(0);
  entry.createdAt = row.createdAt;
  entry.modifiedAt = row.modifiedAt;
  entry.blobKey = row.blobKey;
  return entry;
}

struct HistorySnapshotBuilder::State {
  std::unique_ptr<SnapshotIndex::Store> store = std::make_unique<SnapshotIndex::Store>();
  // Directory children by listing and path: the rows that map to one merge into it.
  struct DirectoryChild {
    std::uint32_t record = 0;
    ChildNaming naming;
  };
  std::unordered_map<std::string, DirectoryChild> directories;
  // One lookup candidate per row: the first row of a path (lowest rank) answers.
  std::vector<SnapshotIndex::Store::Candidate> candidates;
};

HistorySnapshotBuilder::HistorySnapshotBuilder() : state_(std::make_unique<State>()) {}
HistorySnapshotBuilder::~HistorySnapshotBuilder() = default;

void HistorySnapshotBuilder::add(const HistoryRow& row) {
  using Store = SnapshotIndex::Store;
  State& state = *state_;
  Store& store = *state.store;
  const std::vector<std::string_view> normParts = splitPath(row.relPathNorm);
  const std::vector<std::string_view> displayParts = splitPath(row.relPath);
  const bool displayMatches = displayParts.size() == normParts.size();
  // The row lies below "a/b/" when its normalised path starts with it and is longer; it
  // gives a child to the listing of every folder it lies below.
  std::string directory;
  constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
  std::uint32_t fileRecord = kNone;  // the row's listed file entry, when it names the path
  std::string fileDisplay;
  for (std::size_t level = 0; level < normParts.size(); ++level) {
    std::size_t prefixSize = level == 0 ? 0 : directory.size() + 1;
    if (row.relPathNorm.size() > prefixSize) {
      const std::uint32_t listing = store.listingFor(directory);
      const bool direct = level + 1 == normParts.size();
      const bool isDirectory = !direct || row.op == "mkdir";
      const std::string childNorm = composePath(store.listingPath(listing), normParts[level]);
      std::string display = displayMatches ? joinFirst(displayParts, level + 1) : childNorm;
      if (isDirectory) {
        std::string key = childNorm;
        key.append(1, '\0').append(reinterpret_cast<const char*>(&listing), sizeof(listing));
        auto [it, inserted] = state.directories.try_emplace(std::move(key));
        State::DirectoryChild& child = it->second;
        if (child.naming.claims(inserted, direct, row.rank)) {
          if (inserted) {
            Store::Input input;
            input.kind = SnapshotKind::directory;
            input.normPart = normParts[level];
            input.relPath = display;
            input.name = lastComponent(display);
            child.record = store.add(listing, input, true);
          } else {
            store.rename(child.record, display, lastComponent(display));
          }
        }
        std::uint32_t record = child.record;
        store.lowerRank(record, row.rank);
        if (row.modifiedAt && (!store.hasModified(record) || *row.modifiedAt > *store.modified(record))) {
          store.setModified(record, *row.modifiedAt);
        }
      } else {
        Store::Input input;
        input.normPart = normParts[level];
        input.relPath = display;
        input.name = lastComponent(display);
        input.size = row.sizeBytes;
        input.createdAt = row.createdAt;
        input.modifiedAt = row.modifiedAt;
        input.blobKey = &row.blobKey;
        fileRecord = store.add(listing, input, true);  // a repeat of the path is dropped at the end
        store.lowerRank(fileRecord, row.rank);
        if (childNorm != row.relPathNorm) fileRecord = kNone;
        fileDisplay = std::move(display);
      }
    }
    if (level > 0) directory += '/';
    directory += normParts[level];
  }
  // The lookup answers with the row's own entry (file kind, size 0 when absent); that is
  // its listed entry unless the two differ.
  std::uint32_t answer;
  if (fileRecord != kNone && row.sizeBytes && fileDisplay == row.relPath &&
      lastComponent(fileDisplay) == lastComponent(trimSlashes(row.relPath))) {
    answer = fileRecord;
  } else {
    answer = store.addUnlisted(historyFileEntry(row));
  }
  state.candidates.push_back({pathHash(row.relPathNorm), row.rank, answer});
}

std::shared_ptr<const SnapshotIndex> HistorySnapshotBuilder::finish() {
  State& state = *state_;
  state.directories = {};
  state.store->finishListings(false, true);
  state.store->finishLookup(std::move(state.candidates));
  return std::shared_ptr<const SnapshotIndex>(new SnapshotIndex(std::move(state.store)));
}

}  // namespace catalog_internal

// ---------------------------------------------------------------- the process-wide cache

struct BackupCatalogSnapshotIndexCache::State {
  std::mutex mutex;
  std::list<std::pair<std::string, std::shared_ptr<const SnapshotIndex>>> order;  // most recent first
  std::unordered_map<std::string, decltype(order)::iterator> byKey;
};

BackupCatalogSnapshotIndexCache::BackupCatalogSnapshotIndexCache() : state_(std::make_shared<State>()) {}

BackupCatalogSnapshotIndexCache& BackupCatalogSnapshotIndexCache::shared() {
  static BackupCatalogSnapshotIndexCache* instance = new BackupCatalogSnapshotIndexCache();  // never destroyed
  return *instance;
}

std::shared_ptr<const SnapshotIndex> BackupCatalogSnapshotIndexCache::get(const std::string& key) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->byKey.find(key);
  if (it == state_->byKey.end()) return nullptr;
  state_->order.splice(state_->order.begin(), state_->order, it->second);
  return it->second->second;
}

std::shared_ptr<const SnapshotIndex> BackupCatalogSnapshotIndexCache::insertIfAbsent(
    const std::string& key, std::shared_ptr<const SnapshotIndex> index) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->byKey.find(key);
  if (it != state_->byKey.end()) {
    state_->order.splice(state_->order.begin(), state_->order, it->second);
    return it->second->second;
  }
  state_->order.emplace_front(key, index);
  state_->byKey[key] = state_->order.begin();
  while (state_->order.size() > kCountLimit) {
    state_->byKey.erase(state_->order.back().first);
    state_->order.pop_back();
  }
  return index;
}

void BackupCatalogSnapshotIndexCache::removeAll() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->order.clear();
  state_->byKey.clear();
}

std::size_t BackupCatalogSnapshotIndexCache::count() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->order.size();
}

}  // namespace tvr
