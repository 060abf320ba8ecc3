#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/catalog/CatalogRecords.h"
#include "engine/catalog/SnapshotManifest.h"

namespace tvr {

namespace catalog_internal {
class HistorySnapshotBuilder;
}

// An immutable in-memory snapshot of one run: the children of every directory, already
// sorted, and the lookup of files by normalised path. Shared freely between threads and
// catalogs (always held by shared_ptr<const SnapshotIndex>).
//
// Entries are held compactly (a fixed-size record per entry, strings packed into shared
// blocks, a path stored as the last component below its directory, blob keys as 32 bytes)
// and handed out as SnapshotEntry values on demand, so a million-file run costs about
// 130 bytes per entry instead of a kilobyte.
//
// Two ways to get one:
//  - fromManifest (or ManifestBuilder, fed entry by entry while a manifest is decoded): the
//    checkpoint index (what listSnapshotChildren/snapshotFileEntry use for a run with a
//    checkpoint). `fileEntry` knows files only.
//  - BackupCatalog::loadSnapshot(planID, runID): the whole run in ONE pass, from the checkpoint
//    when the run has one, otherwise from one streamed history query. Its `children` and
//    `fileEntry` give exactly what listSnapshotChildren and snapshotFileEntry give for the
//    same run (the same children, order, names and directory dates; for a run without
//    checkpoint, `fileEntry` of a live directory path gives a file-kind entry without blob
//    key, as the SQL lookup does).
//
// Example (restore reader, export of a whole run):
//   auto snapshot = catalog.loadSnapshot(plan, runID);
//   std::function<void(const std::string&)> walk = [&](const std::string& dir) {
//     for (const SnapshotEntry& child : snapshot->children(dir)) {
//       if (child.kind == SnapshotKind::directory) walk(child.relPathNorm); else export(child);
//     }
//   };
//   walk("");
//   std::optional<SnapshotEntry> entry = snapshot->fileEntry("documents/report.pdf");
// Walk a large directory through `listing`/`entry` rather than `children`, which copies
// the whole list.
class SnapshotIndex {
 public:
  // The children of one directory: positions to pass to `entry`.
  struct Listing {
    const std::uint32_t* begin = nullptr;
    const std::uint32_t* end = nullptr;
    std::size_t size() const noexcept { return static_cast<std::size_t>(end - begin); }
  };

  SnapshotIndex();  // empty: no directory, no file
  ~SnapshotIndex();
  SnapshotIndex(const SnapshotIndex&) = delete;
  SnapshotIndex& operator=(const SnapshotIndex&) = delete;

  // Builds the checkpoint index: implied directories, directory dates and sort order as
  // the checkpoint rules say (directories first, then files, each by name in Finder order).
  static std::shared_ptr<const SnapshotIndex> fromManifest(const SnapshotManifest& manifest);

  // Children of a directory ("/" trimmed from both ends; nullopt or "" is the top level);
  // an unknown directory gives an empty list.
  std::vector<SnapshotEntry> children(std::optional<std::string_view> directory) const;
  Listing listing(std::optional<std::string_view> directory) const;
  SnapshotEntry entry(std::uint32_t position) const;

  // The entry of a path ("/" trimmed from both ends), or nothing.
  std::optional<SnapshotEntry> fileEntry(std::string_view relPathNorm) const;

  // Every directory that has a listing, in no particular order, and the number of paths
  // `fileEntry` answers for.
  std::vector<std::string> directories() const;
  std::size_t fileCount() const noexcept;

  class Store;
  // Feeds manifest entries in manifest order; `finish` gives what fromManifest gives for
  // the same entries. Nothing but the compact records is kept per entry.
  class ManifestBuilder {
   public:
    ManifestBuilder();
    ~ManifestBuilder();
    ManifestBuilder(const ManifestBuilder&) = delete;
    ManifestBuilder& operator=(const ManifestBuilder&) = delete;
    void add(const SnapshotManifest::FileEntry& item);
    std::shared_ptr<const SnapshotIndex> finish();

   private:
    struct State;
    std::unique_ptr<State> state_;
  };

 private:
  friend class catalog_internal::HistorySnapshotBuilder;
  explicit SnapshotIndex(std::unique_ptr<Store> store);
  std::unique_ptr<Store> store_;
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
