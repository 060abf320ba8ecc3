#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/catalog/BackupCatalog.h"
#include "engine/metadata/PlanID.h"

namespace tvr {

// The whole snapshot of one restorable run, built once (one checkpoint manifest read or one
// history query) and then walked in memory, so a command that visits every directory of a
// run (search, export, dry runs) costs one snapshot build instead of one query per directory.
//
// `children` answers what the catalog's listSnapshotChildren answers for the same run: the
// same entries, order, names and directory dates. The walks visit directories depth first,
// a directory before its contents, each directory's children in listing order.
//
// Entries are made from the compact index as they are visited, so a walk holds one entry
// per level, however large the run. Immutable after construction; copies share the
// underlying index, so it may be used from several threads at once. Nothing here throws except allocation failures and whatever a
// visitor throws.
class RestoreSnapshot {
 public:
  RestoreSnapshot(PlanID planID, std::int64_t runID, std::shared_ptr<const SnapshotIndex> index);

  const PlanID& planID() const noexcept { return planID_; }
  std::int64_t runID() const noexcept { return runID_; }

  // Children of a directory ("/" trimmed from both ends; nullopt or "" is the top level).
  std::vector<SnapshotEntry> children(std::optional<std::string_view> directoryRelPathNorm) const;

  // Visits every entry below the directory, depth first. A directory child whose path
  // would not take the walk deeper (a damaged catalog can list "a/" inside "a") is visited
  // but not descended into, so every walk ends.
  void walk(std::optional<std::string_view> directoryRelPathNorm,
            const std::function<void(const SnapshotEntry&)>& visit) const;

  // Every file below the directory in walk order (what a search looks through).
  std::vector<SnapshotEntry> allFiles(std::optional<std::string_view> directoryRelPathNorm = std::nullopt) const;
  // Every entry below the directory in walk order (what an export writes).
  std::vector<SnapshotEntry> allEntries(std::optional<std::string_view> directoryRelPathNorm = std::nullopt) const;

  // The first file of the walk from the top level whose relPathNorm equals the path exactly
  // (no trimming, no case folding), or nothing. Directories never match.
  std::optional<SnapshotEntry> firstFile(std::string_view relPathNorm) const;

  // The catalog's lookup of one path at this run (snapshotFileEntry): "/" trimmed; for a run
  // without checkpoint a live directory path gives a file-kind entry without blob key.
  std::optional<SnapshotEntry> fileEntry(std::string_view relPathNorm) const;

 private:
  PlanID planID_;
  std::int64_t runID_;
  std::shared_ptr<const SnapshotIndex> index_;
};

}  // namespace tvr
