#include "engine/storage/RestoreSnapshot.h"

#include <utility>

namespace tvr {
namespace {

std::string_view trimSlashes(std::string_view text) {
  while (!text.empty() && text.front() == '/') text.remove_prefix(1);
  while (!text.empty() && text.back() == '/') text.remove_suffix(1);
  return text;
}

// Depth-first walk with an explicit stack, so a hostile catalog with very deep paths cannot
// exhaust the call stack. `visit` returns false to stop the walk.
template <class Visit>
void walkIndex(const SnapshotIndex& index, std::optional<std::string_view> directory, Visit&& visit) {
  struct Level {
    SnapshotIndex::Listing children;
    const std::uint32_t* next;
    std::size_t depth;  // length of the trimmed directory path
  };
  const std::string_view top = directory ? trimSlashes(*directory) : std::string_view();
  std::vector<Level> stack;
  SnapshotIndex::Listing first = index.listing(top);
  stack.push_back({first, first.begin, top.size()});
  while (!stack.empty()) {
    Level& level = stack.back();
    if (level.next == level.children.end) {
      stack.pop_back();
      continue;
    }
    const SnapshotEntry child = index.entry(*level.next++);
    const std::size_t parentDepth = level.depth;
    if (!visit(child)) return;
    if (child.kind != SnapshotKind::directory) continue;
    const std::string_view childDirectory = trimSlashes(child.relPathNorm);
    // Each level must be strictly longer than its parent; otherwise the walk could cycle.
    if (childDirectory.size() <= parentDepth) continue;
    SnapshotIndex::Listing below = index.listing(childDirectory);
    stack.push_back({below, below.begin, childDirectory.size()});
  }
}

}  // namespace

RestoreSnapshot::RestoreSnapshot(PlanID planID, std::int64_t runID, std::shared_ptr<const SnapshotIndex> index)
    : planID_(std::move(planID)), runID_(runID), index_(std::move(index)) {}

std::vector<SnapshotEntry> RestoreSnapshot::children(
    std::optional<std::string_view> directoryRelPathNorm) const {
  return index_->children(directoryRelPathNorm);
}

void RestoreSnapshot::walk(std::optional<std::string_view> directoryRelPathNorm,
                           const std::function<void(const SnapshotEntry&)>& visit) const {
  walkIndex(*index_, directoryRelPathNorm, [&](const SnapshotEntry& entry) {
    visit(entry);
    return true;
  });
}

std::vector<SnapshotEntry> RestoreSnapshot::allFiles(std::optional<std::string_view> directoryRelPathNorm) const {
  std::vector<SnapshotEntry> files;
  walkIndex(*index_, directoryRelPathNorm, [&](const SnapshotEntry& entry) {
    if (entry.kind != SnapshotKind::directory) files.push_back(entry);
    return true;
  });
  return files;
}

std::vector<SnapshotEntry> RestoreSnapshot::allEntries(std::optional<std::string_view> directoryRelPathNorm) const {
  std::vector<SnapshotEntry> entries;
  walkIndex(*index_, directoryRelPathNorm, [&](const SnapshotEntry& entry) {
    entries.push_back(entry);
    return true;
  });
  return entries;
}

std::optional<SnapshotEntry> RestoreSnapshot::firstFile(std::string_view relPathNorm) const {
  std::optional<SnapshotEntry> found;
  walkIndex(*index_, std::nullopt, [&](const SnapshotEntry& entry) {
    if (entry.kind != SnapshotKind::directory && entry.relPathNorm == relPathNorm) {
      found = entry;
      return false;
    }
    return true;
  });
  return found;
}

std::optional<SnapshotEntry> RestoreSnapshot::fileEntry(std::string_view relPathNorm) const {
  return index_->fileEntry(relPathNorm);
}

}  // namespace tvr
