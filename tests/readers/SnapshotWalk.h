#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/storage/RepositoryRestoreReader.h"

namespace tvr::test {

// What the command line's per-directory walk would see: one listChildren call per
// directory, each directory's entries followed by everything below it.
inline std::vector<SnapshotEntry> walkByListing(const RepositoryRestoreReader& reader, const PlanID& plan,
                                                std::int64_t runID, const std::optional<std::string>& directory) {
  std::vector<SnapshotEntry> entries;
  for (const SnapshotEntry& child : reader.listChildren(plan, runID, directory)) {
    entries.push_back(child);
    if (child.kind == SnapshotKind::directory) {
      for (SnapshotEntry& below : walkByListing(reader, plan, runID, child.relPathNorm)) {
        entries.push_back(std::move(below));
      }
    }
  }
  return entries;
}

}  // namespace tvr::test
