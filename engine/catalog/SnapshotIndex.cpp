#include "engine/catalog/SnapshotIndex.h"

#include <algorithm>
#include <list>
#include <mutex>
#include <unordered_map>

#include "engine/catalog/SnapshotHistoryBuilder.h"
#include "engine/catalog/SnapshotPaths.h"
#include "platform/Unicode.h"

namespace tvr {

using catalog_internal::splitPath;
using catalog_internal::trimSlashes;

// ---------------------------------------------------------------- SnapshotIndex

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

void sortChildren(std::vector<SnapshotEntry>& list, bool byName) {
  std::stable_sort(list.begin(), list.end(), [byName](const SnapshotEntry& a, const SnapshotEntry& b) {
    if (a.kind != b.kind) return a.kind == SnapshotKind::directory;
    return unicode::finderCompare(byName ? a.name : a.relPathNorm, byName ? b.name : b.relPathNorm) < 0;
  });
}

}  // namespace

std::shared_ptr<const SnapshotIndex> SnapshotIndex::fromManifest(const SnapshotManifest& manifest) {
  // Newest file date below each directory.
  std::unordered_map<std::string, double> newestBelow;
  for (const SnapshotManifest::FileEntry& item : manifest.files) {
    if (item.kind == "directory" || !item.modifiedAt) continue;
    std::string_view path = trimSlashes(item.relPathNorm);
    for (std::string_view dir = parentOf(path); !dir.empty(); dir = parentOf(dir)) {
      auto [it, inserted] = newestBelow.try_emplace(std::string(dir), *item.modifiedAt);
      if (!inserted && *item.modifiedAt > it->second) it->second = *item.modifiedAt;
    }
  }
  auto newestFor = [&](const std::string& dir) -> std::optional<double> {
    auto it = newestBelow.find(dir);
    return it == newestBelow.end() ? std::nullopt : std::optional<double>(it->second);
  };

  ChildrenMap children;
  // Where each directory's entry sits: parent path and index in its list.
  std::unordered_map<std::string, std::pair<std::string, std::size_t>> directorySlots;

  auto recordDirectory = [&](SnapshotEntry entry) {
    std::string parent(parentOf(entry.relPathNorm));
    auto slot = directorySlots.find(entry.relPathNorm);
    if (slot != directorySlots.end()) {
      SnapshotEntry& existing = children[slot->second.first][slot->second.second];
      if (!existing.modifiedAt && entry.modifiedAt) existing = std::move(entry);
      return;
    }
    std::vector<SnapshotEntry>& list = children[parent];
    directorySlots.emplace(entry.relPathNorm, std::make_pair(parent, list.size()));
    list.push_back(std::move(entry));
  };

  // The entry a manifest item lists; only a file carries size and blob key.
  auto listedEntry = [&](const SnapshotManifest::FileEntry& item) {
    SnapshotEntry entry;
    entry.relPathNorm = std::string(trimSlashes(item.relPathNorm));
    entry.relPath = item.relPath;
    entry.name = entryName(item.relPath, entry.relPathNorm);
    entry.createdAt = item.createdAt;
    entry.modifiedAt = item.modifiedAt ? item.modifiedAt : newestFor(entry.relPathNorm);
    if (item.kind == "directory") {
      entry.kind = SnapshotKind::directory;
      entry.id = "d:" + entry.relPathNorm;
    } else {
      entry.kind = SnapshotKind::file;
      entry.id = "f:" + entry.relPathNorm;
      entry.sizeBytes = item.sizeBytes;
      entry.blobKey = item.blobKey;
    }
    return entry;
  };

  for (const SnapshotManifest::FileEntry& item : manifest.files) {
    SnapshotEntry entry = listedEntry(item);
    if (entry.kind == SnapshotKind::directory) {
      recordDirectory(std::move(entry));
    } else {
      std::string parent(parentOf(entry.relPathNorm));
      children[parent].push_back(std::move(entry));
    }
  }

  // Implied ancestors, after every listed entry so a listed directory is recorded first.
  for (const SnapshotManifest::FileEntry& item : manifest.files) {
    catalog_internal::forEachAncestorDirectory(
        item.relPathNorm, item.relPath, [&](const std::string& dirNorm, const std::string& dirDisplay) {
          // Only a dated newcomer may replace an undated entry; an implied one is dated by
          // newestBelow, which the listed entry already took when it had no date of its own.
          if (directorySlots.count(dirNorm) != 0) return;
          SnapshotEntry entry;
          entry.kind = SnapshotKind::directory;
          entry.id = "d:" + dirNorm;
          entry.relPathNorm = dirNorm;
          entry.relPath = dirDisplay;
          entry.name = std::string(lastComponent(dirDisplay));
          entry.modifiedAt = newestFor(dirNorm);
          recordDirectory(std::move(entry));
        });
  }
  directorySlots.clear();

  for (auto& [dir, list] : children) sortChildren(list, true);

  // The lookup points into the sorted listings. A path listed as a file more than once
  // answers with its last manifest entry: those few are matched by value.
  FilesMap files;
  std::unordered_map<std::string_view, bool> repeated;  // path -> its last entry is matched
  for (const auto& [dir, list] : children) {
    for (const SnapshotEntry& entry : list) {
      if (entry.kind != SnapshotKind::file) continue;
      if (!files.try_emplace(entry.relPathNorm, &entry).second) repeated.try_emplace(entry.relPathNorm, false);
    }
  }
  if (!repeated.empty()) {
    std::unordered_map<std::string_view, const SnapshotManifest::FileEntry*> lastEntry;
    for (const SnapshotManifest::FileEntry& item : manifest.files) {
      if (item.kind == "directory") continue;
      auto it = repeated.find(trimSlashes(item.relPathNorm));
      if (it != repeated.end()) lastEntry[it->first] = &item;
    }
    for (auto& [path, found] : repeated) {
      const SnapshotEntry expected = listedEntry(*lastEntry.at(path));
      for (const SnapshotEntry& entry : children[std::string(parentOf(path))]) {
        if (entry == expected) {
          files[path] = &entry;
          break;
        }
      }
    }
  }
  return std::make_shared<const SnapshotIndex>(std::move(children), std::move(files));
}

const std::vector<SnapshotEntry>& SnapshotIndex::children(std::optional<std::string_view> directory) const {
  static const std::vector<SnapshotEntry> empty;
  auto it = childrenByDirectory_.find(std::string(trimSlashes(directory.value_or(""))));
  return it == childrenByDirectory_.end() ? empty : it->second;
}

const SnapshotEntry* SnapshotIndex::fileEntry(std::string_view relPathNorm) const {
  auto it = filesByRelNorm_.find(trimSlashes(relPathNorm));
  return it == filesByRelNorm_.end() ? nullptr : it->second;
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
  if (inserted || (direct && !child.hasOwnRow)) {
    // The child's own row names it; until it shows up the first deeper row does.
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
    child.hasOwnRow = child.hasOwnRow || direct;
  }
  if (isDirectory && row.modifiedAt && (!child.entry.modifiedAt || *row.modifiedAt > *child.entry.modifiedAt)) {
    child.entry.modifiedAt = row.modifiedAt;
  }
}

std::vector<SnapshotEntry> HistoryDirectoryListing::finish() {
  std::vector<SnapshotEntry> list;
  list.reserve(children_.size());
  for (Child& child : children_) list.push_back(std::move(child.entry));
  children_.clear();
  indexByID_.clear();
  sortChildren(list, false);
  return list;
}

std::vector<SnapshotEntry> historyChildren(const std::vector<HistoryRow>& rows, std::string_view directory) {
  std::string_view trimmed = trimSlashes(directory);
  std::string prefix = trimmed.empty() ? std::string() : std::string(trimmed) + "/";
  std::size_t level = trimmed.empty() ? 0 : splitPath(trimmed).size();
  HistoryDirectoryListing listing(prefix);
  for (const HistoryRow& row : rows) {
    if (!row.relPathNorm.starts_with(prefix) || row.relPathNorm.size() == prefix.size()) continue;
    listing.add(row, splitPath(row.relPathNorm), splitPath(row.relPath), level);
  }
  return listing.finish();
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

std::shared_ptr<const SnapshotIndex> historySnapshot(const std::vector<HistoryRow>& rows) {
  std::unordered_map<std::string, HistoryDirectoryListing> listings;
  for (const HistoryRow& row : rows) {
    std::vector<std::string_view> normParts = splitPath(row.relPathNorm);
    std::vector<std::string_view> displayParts = splitPath(row.relPath);
    // Same membership test as the per-directory listing: the row lies below "a/b/" when its
    // normalised path starts with it and is longer.
    std::string directory;
    for (std::size_t level = 0; level < normParts.size(); ++level) {
      std::string prefix = level == 0 ? std::string() : directory + "/";
      if (row.relPathNorm.size() > prefix.size()) {
        auto it = listings.try_emplace(directory, prefix).first;
        it->second.add(row, normParts, displayParts, level);
      }
      if (level > 0) directory += '/';
      directory += normParts[level];
    }
  }
  SnapshotIndex::ChildrenMap children;
  children.reserve(listings.size());
  for (auto it = listings.begin(); it != listings.end(); it = listings.erase(it)) {
    children.emplace(it->first, it->second.finish());
  }
  // A row's lookup entry is mostly its listing entry; the rest (a live folder answers as a
  // file-kind entry, a file without size as size 0) are held apart. The first row of a path
  // answers.
  SnapshotIndex::FilesMap listed;
  for (const auto& [dir, list] : children) {
    for (const SnapshotEntry& entry : list) {
      if (entry.kind == SnapshotKind::file) listed.try_emplace(entry.relPathNorm, &entry);
    }
  }
  SnapshotIndex::FilesMap files;
  files.reserve(rows.size());
  std::deque<SnapshotEntry> own;
  for (const HistoryRow& row : rows) {
    if (files.count(row.relPathNorm) != 0) continue;
    SnapshotEntry entry = historyFileEntry(row);
    auto it = listed.find(row.relPathNorm);
    if (it != listed.end() && *it->second == entry) {
      files.emplace(it->second->relPathNorm, it->second);
    } else {
      own.push_back(std::move(entry));
      files.emplace(own.back().relPathNorm, &own.back());
    }
  }
  return std::make_shared<const SnapshotIndex>(std::move(children), std::move(files), std::move(own));
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
