#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/catalog/SnapshotIndex.h"
#include "engine/catalog/SnapshotPaths.h"

namespace tvr::catalog_internal {

// One live row of a run's history (the newest event of a path at or before the run,
// not deleted), decrypted.
//
// Rows may arrive in any order. Where rows compete (two with one path, the rows that name
// an implied folder, children with equal names), the outcome is that of feeding them by
// ascending `rank` (the place of the row's path id in path-id order), and among equal
// ranks in the order they arrive.
struct HistoryRow {
  std::string relPath;
  std::string relPathNorm;
  std::string op;
  std::optional<std::string> blobKey;
  std::optional<std::int64_t> sizeBytes;
  std::optional<double> createdAt;
  std::optional<double> modifiedAt;
  std::uint32_t rank = 0;
};

// Which of the rows that map to one child names it: the child's own row, else a deeper
// row; among those the lowest rank, then the first to arrive. One rule for the listing of
// one folder and for the whole snapshot.
class ChildNaming {
 public:
  // Whether the row names the child from now on; `first` for the first row that maps to
  // it, `own` when the row is the child's own.
  bool claims(bool first, bool own, std::uint32_t rank) {
    if (!first && !(own && !hasOwnRow_) && !(own == hasOwnRow_ && rank < rank_)) return false;
    hasOwnRow_ = hasOwnRow_ || own;
    rank_ = rank;
    return true;
  }

 private:
  bool hasOwnRow_ = false;
  std::uint32_t rank_ = 0;
};

// Children of one directory built from history rows, with the history rules: a row one
// level below is the child itself, a deeper row implies a directory child; directory dates
// are the newest modification date of every row mapping to the child; directories first,
// then files, each by normalised path in Finder order (stable).
class HistoryDirectoryListing {
 public:
  explicit HistoryDirectoryListing(std::string prefix) : prefix_(std::move(prefix)) {}
  const std::string& prefix() const noexcept { return prefix_; }

  // `level` is the index of the row's component that names the child; the caller has
  // checked that the row lies below the prefix.
  void add(const HistoryRow& row, const std::vector<std::string_view>& normComponents,
           const std::vector<std::string_view>& displayComponents, std::size_t level);
  std::vector<SnapshotEntry> finish();

 private:
  struct Child {
    SnapshotEntry entry;
    ChildNaming naming;
    std::uint32_t firstRank = 0;  // the lowest rank of a row that maps to it: its place
  };
  std::string prefix_;
  std::vector<Child> children_;
  std::unordered_map<std::string, std::size_t> indexByID_;
};

// The listing of one directory ("" for the top level), fed row by row.
class HistoryChildren {
 public:
  explicit HistoryChildren(std::string_view directory);
  void add(const HistoryRow& row);
  std::vector<SnapshotEntry> finish() { return listing_.finish(); }

 private:
  std::size_t level_;
  HistoryDirectoryListing listing_;
};

// The whole snapshot from the rows, fed one by one (see HistoryRow for their order); only the
// compact records are kept.
class HistorySnapshotBuilder {
 public:
  HistorySnapshotBuilder();
  ~HistorySnapshotBuilder();
  HistorySnapshotBuilder(const HistorySnapshotBuilder&) = delete;
  HistorySnapshotBuilder& operator=(const HistorySnapshotBuilder&) = delete;
  void add(const HistoryRow& row);
  std::shared_ptr<const SnapshotIndex> finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The history lookup entry of one row (file kind, size 0 when absent).
SnapshotEntry historyFileEntry(const HistoryRow& row);

}  // namespace tvr::catalog_internal
