#include <algorithm>
#include <cmath>
#include <limits>
#include <list>
#include <mutex>
#include <nlohmann/json.hpp>
#include <unordered_map>

#include "engine/catalog/BackupCatalog.h"
#include "engine/catalog/SnapshotHistoryBuilder.h"
#include "platform/CanonicalJson.h"
#include "platform/Error.h"
#include "platform/Iso8601.h"
#include "platform/Unicode.h"

namespace tvr {

using catalog_internal::splitPath;
using catalog_internal::trimSlashes;

// ---------------------------------------------------------------- SnapshotManifest

namespace {

Error manifestError(const std::string& detail) {
  return Error("SnapshotManifest", 1, "Checkpoint manifest could not be decoded: " + detail);
}

const nlohmann::json* member(const nlohmann::json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return nullptr;
  return &*it;
}

std::string requiredString(const nlohmann::json& object, const char* key, const std::string& path) {
  const nlohmann::json* value = member(object, key);
  if (value == nullptr) throw manifestError("missing key " + path + key + ".");
  if (!value->is_string()) throw manifestError("key " + path + key + " is not a string.");
  return value->get<std::string>();
}

std::optional<std::string> optionalString(const nlohmann::json& object, const char* key, const std::string& path) {
  const nlohmann::json* value = member(object, key);
  if (value == nullptr) return std::nullopt;
  if (!value->is_string()) throw manifestError("key " + path + key + " is not a string.");
  return value->get<std::string>();
}

// Range-checked before any conversion: a manifest may hold 1e20, 2^64 - 1 or a fraction.
std::optional<std::int64_t> optionalInteger(const nlohmann::json& object, const char* key, const std::string& path,
                                            std::int64_t minimum) {
  const nlohmann::json* value = member(object, key);
  if (value == nullptr) return std::nullopt;
  if (value->is_number_unsigned()) {
    std::uint64_t u = value->get<std::uint64_t>();
    if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) &&
        static_cast<std::int64_t>(u) >= minimum) {
      return static_cast<std::int64_t>(u);
    }
    throw manifestError("key " + path + key + " is out of range.");
  }
  if (value->is_number_integer()) {
    std::int64_t i = value->get<std::int64_t>();
    if (i >= minimum) return i;
    throw manifestError("key " + path + key + " is out of range.");
  }
  if (value->is_number_float()) {
    double d = value->get<double>();
    if (!std::isfinite(d) || d != std::floor(d)) throw manifestError("key " + path + key + " is not an integer.");
    // 2^63 is exactly representable; everything below it converts without overflow.
    if (d < static_cast<double>(minimum) || d >= 9223372036854775808.0) {
      throw manifestError("key " + path + key + " is out of range.");
    }
    return static_cast<std::int64_t>(d);
  }
  throw manifestError("key " + path + key + " is not an integer.");
}

// Manifest dates are seconds since 2001-01-01; in memory they are Unix seconds. A date that
// text cannot show (outside years 1 to 9999) is left out; NaN and infinities are refused.
std::optional<double> optionalDate(const nlohmann::json& object, const char* key, const std::string& path) {
  const nlohmann::json* value = member(object, key);
  if (value == nullptr) return std::nullopt;
  if (!value->is_number()) throw manifestError("key " + path + key + " is not a number.");
  double seconds = value->get<double>();
  if (!std::isfinite(seconds)) throw manifestError("key " + path + key + " is not a finite number.");
  seconds += kSecondsFrom1970To2001;
  if (!isRepresentableDate(seconds)) return std::nullopt;
  return seconds;
}

}  // namespace

std::string SnapshotManifest::toJSON() const {
  nlohmann::json files_ = nlohmann::json::array();
  for (const FileEntry& entry : files) {
    nlohmann::json item = {{"relPath", entry.relPath}, {"relPathNorm", entry.relPathNorm}, {"kind", entry.kind}};
    if (entry.blobKey) item["blobKey"] = *entry.blobKey;
    if (entry.sizeBytes) item["sizeBytes"] = *entry.sizeBytes;
    if (entry.createdAt) item["createdAt"] = *entry.createdAt - kSecondsFrom1970To2001;
    if (entry.modifiedAt) item["modifiedAt"] = *entry.modifiedAt - kSecondsFrom1970To2001;
    if (entry.contentID) item["contentID"] = *entry.contentID;
    files_.push_back(std::move(item));
  }
  nlohmann::json document = {
      {"version", version}, {"createdAt", createdAt - kSecondsFrom1970To2001}, {"files", std::move(files_)}};
  return canonicalJsonString(document);
}

SnapshotManifest SnapshotManifest::fromJSON(std::string_view json) {
  nlohmann::json document = nlohmann::json::parse(json.begin(), json.end(), nullptr, false);
  if (document.is_discarded()) throw manifestError("the data is not valid JSON.");
  if (!document.is_object()) throw manifestError("the document is not an object.");
  SnapshotManifest manifest;
  std::optional<std::int64_t> version =
      optionalInteger(document, "version", "", std::numeric_limits<std::int64_t>::min());
  if (!version) throw manifestError("missing key version.");
  manifest.version = *version;
  const nlohmann::json* createdAt = member(document, "createdAt");
  if (createdAt == nullptr) throw manifestError("missing key createdAt.");
  if (!createdAt->is_number() || !std::isfinite(createdAt->get<double>())) {
    throw manifestError("key createdAt is not a finite number.");
  }
  manifest.createdAt = createdAt->get<double>() + kSecondsFrom1970To2001;
  const nlohmann::json* files = member(document, "files");
  if (files == nullptr) throw manifestError("missing key files.");
  if (!files->is_array()) throw manifestError("key files is not an array.");
  manifest.files.reserve(files->size());
  for (std::size_t i = 0; i < files->size(); ++i) {
    const nlohmann::json& item = (*files)[i];
    std::string path = "files[" + std::to_string(i) + "].";
    if (!item.is_object()) throw manifestError(path.substr(0, path.size() - 1) + " is not an object.");
    FileEntry entry;
    entry.relPath = requiredString(item, "relPath", path);
    entry.relPathNorm = requiredString(item, "relPathNorm", path);
    entry.kind = optionalString(item, "kind", path).value_or("file");
    entry.blobKey = optionalString(item, "blobKey", path);
    entry.sizeBytes = optionalInteger(item, "sizeBytes", path, 0);
    entry.createdAt = optionalDate(item, "createdAt", path);
    entry.modifiedAt = optionalDate(item, "modifiedAt", path);
    entry.contentID = optionalInteger(item, "contentID", path, std::numeric_limits<std::int64_t>::min());
    manifest.files.push_back(std::move(entry));
  }
  return manifest;
}

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
  FilesMap files;
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

  for (const SnapshotManifest::FileEntry& item : manifest.files) {
    SnapshotEntry entry;
    entry.relPathNorm = std::string(trimSlashes(item.relPathNorm));
    entry.relPath = item.relPath;
    entry.name = entryName(item.relPath, entry.relPathNorm);
    entry.createdAt = item.createdAt;
    entry.modifiedAt = item.modifiedAt ? item.modifiedAt : newestFor(entry.relPathNorm);
    if (item.kind == "directory") {
      entry.kind = SnapshotKind::directory;
      entry.id = "d:" + entry.relPathNorm;
      recordDirectory(std::move(entry));
    } else {
      entry.kind = SnapshotKind::file;
      entry.id = "f:" + entry.relPathNorm;
      entry.sizeBytes = item.sizeBytes;
      entry.blobKey = item.blobKey;
      files[entry.relPathNorm] = entry;
      children[std::string(parentOf(entry.relPathNorm))].push_back(std::move(entry));
    }
  }

  // Implied ancestors, after every listed entry so a listed directory is recorded first.
  for (const SnapshotManifest::FileEntry& item : manifest.files) {
    std::string_view norm = trimSlashes(item.relPathNorm);
    std::vector<std::string_view> normParts = splitPath(norm);
    std::vector<std::string_view> displayParts = splitPath(trimSlashes(item.relPath));
    bool displayMatches = displayParts.size() == normParts.size();
    std::string dirNorm, dirDisplay;
    for (std::size_t level = 0; level + 1 < normParts.size(); ++level) {
      if (level > 0) {
        dirNorm += '/';
        dirDisplay += '/';
      }
      dirNorm += normParts[level];
      dirDisplay += displayMatches ? displayParts[level] : normParts[level];
      if (directorySlots.count(dirNorm) != 0) {
        // Only a dated newcomer may replace an undated entry; an implied one is dated by
        // newestBelow, which the listed entry already took when it had no date of its own.
        continue;
      }
      SnapshotEntry entry;
      entry.kind = SnapshotKind::directory;
      entry.id = "d:" + dirNorm;
      entry.relPathNorm = dirNorm;
      entry.relPath = dirDisplay;
      entry.name = std::string(lastComponent(dirDisplay));
      entry.modifiedAt = newestFor(dirNorm);
      recordDirectory(std::move(entry));
    }
  }

  for (auto& [dir, list] : children) sortChildren(list, true);
  return std::make_shared<const SnapshotIndex>(std::move(children), std::move(files));
}

const std::vector<SnapshotEntry>& SnapshotIndex::children(std::optional<std::string_view> directory) const {
  static const std::vector<SnapshotEntry> empty;
  auto it = childrenByDirectory_.find(std::string(trimSlashes(directory.value_or(""))));
  return it == childrenByDirectory_.end() ? empty : it->second;
}

const SnapshotEntry* SnapshotIndex::fileEntry(std::string_view relPathNorm) const {
  auto it = filesByRelNorm_.find(std::string(trimSlashes(relPathNorm)));
  return it == filesByRelNorm_.end() ? nullptr : &it->second;
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
  SnapshotIndex::FilesMap files;
  files.reserve(rows.size());
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
    files.try_emplace(row.relPathNorm, historyFileEntry(row));
  }
  SnapshotIndex::ChildrenMap children;
  children.reserve(listings.size());
  for (auto& [directory, listing] : listings) children.emplace(directory, listing.finish());
  return std::make_shared<const SnapshotIndex>(std::move(children), std::move(files));
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
