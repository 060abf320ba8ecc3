#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/catalog/CatalogRecords.h"
#include "engine/catalog/SnapshotManifest.h"

namespace tvr {

// An immutable in-memory snapshot of one run: the children of every directory, already
// sorted, and the lookup of files by normalised path. Shared freely between threads and
// catalogs (always held by shared_ptr<const SnapshotIndex>).
//
// Two ways to get one:
//  - fromManifest: the checkpoint index (what listSnapshotChildren/snapshotFileEntry use for a
//    run with a checkpoint). `fileEntry` knows files only.
//  - BackupCatalog::loadSnapshot(planID, runID): the whole run in ONE pass, from the checkpoint
//    when the run has one, otherwise from one history query. Its `children` and `fileEntry`
//    give exactly what listSnapshotChildren and snapshotFileEntry give for the same run (the
//    same children, order, names and directory dates; for a run without checkpoint,
//    `fileEntry` of a live directory path gives a file-kind entry without blob key, as the
//    SQL lookup does).
//
// Example (restore reader, export of a whole run):
//   auto snapshot = catalog.loadSnapshot(plan, runID);
//   std::function<void(const std::string&)> walk = [&](const std::string& dir) {
//     for (const SnapshotEntry& child : snapshot->children(dir)) {
//       if (child.kind == SnapshotKind::directory) walk(child.relPathNorm); else export(child);
//     }
//   };
//   walk("");
//   auto entry = snapshot->fileEntry("documents/report.pdf");  // one file (hold `snapshot`
//                                                              // while using the pointer)
// Enumerate files by walking `children` as above: for a run without checkpoint,
// filesByRelNorm also holds the live recorded directories (entries without blob key), just
// as snapshotFileEntry answers for them. Building from history decrypts every live path of
// the run once (about 2 s of CPU for 100,000 files); the checkpoint index is cached.
class SnapshotIndex {
 public:
  using ChildrenMap = std::unordered_map<std::string, std::vector<SnapshotEntry>>;
  // Each entry is held once: the lookup points into the listings (its keys are the
  // entries' own relPathNorm) or, for an answer no listing holds as such, into `ownEntries`.
  using FilesMap = std::unordered_map<std::string_view, const SnapshotEntry*>;

  SnapshotIndex(ChildrenMap childrenByDirectory, FilesMap filesByRelNorm, std::deque<SnapshotEntry> ownEntries = {})
      : childrenByDirectory_(std::move(childrenByDirectory)),
        filesByRelNorm_(std::move(filesByRelNorm)),
        ownEntries_(std::move(ownEntries)) {}
  SnapshotIndex(const SnapshotIndex&) = delete;
  SnapshotIndex& operator=(const SnapshotIndex&) = delete;

  // Builds the checkpoint index: implied directories, directory dates and sort order as
  // the checkpoint rules say (directories first, then files, each by name in Finder order).
  static std::shared_ptr<const SnapshotIndex> fromManifest(const SnapshotManifest& manifest);

  // Children of a directory ("/" trimmed from both ends; nullopt or "" is the top level);
  // an unknown directory gives an empty list.
  const std::vector<SnapshotEntry>& children(std::optional<std::string_view> directory) const;
  // The entry of a path ("/" trimmed from both ends), or null.
  const SnapshotEntry* fileEntry(std::string_view relPathNorm) const;

  const ChildrenMap& childrenByDirectory() const noexcept { return childrenByDirectory_; }
  const FilesMap& filesByRelNorm() const noexcept { return filesByRelNorm_; }

 private:
  ChildrenMap childrenByDirectory_;
  FilesMap filesByRelNorm_;
  std::deque<SnapshotEntry> ownEntries_;
};

// The process-wide cache of checkpoint indexes (8 entries, least recently used dropped).
// Thread-safe. Keys: root path + "|" + plan id + "|" + run id + "|" + manifest blob key.
class BackupCatalogSnapshotIndexCache {
 public:
  static constexpr std::size_t kCountLimit = 8;
  static BackupCatalogSnapshotIndexCache& shared();

  std::shared_ptr<const SnapshotIndex> get(const std::string& key);
  // Stores `index` unless an entry exists; returns the entry that is stored afterwards.
  std::shared_ptr<const SnapshotIndex> insertIfAbsent(const std::string& key,
                                                      std::shared_ptr<const SnapshotIndex> index);
  void removeAll();
  std::size_t count();

 private:
  struct State;
  BackupCatalogSnapshotIndexCache();
  std::shared_ptr<State> state_;
};

}  // namespace tvr
