#pragma once

#include <filesystem>
#include <functional>
#include <optional>

#include "platform/FileSystem.h"
#include "platform/TemporaryFiles.h"

namespace tvr {

// Files are written through a temporary sibling and then moved into place, so a destination
// never holds a partial copy. The one home of the project's temporary-file writers; failures
// throw tvr::Error (PosixError).
//
// Durability policy. A write names one of two levels:
// - synchronized: the file's data is flushed (fsync) before the rename. For the engine's own
//   small state documents (repo.json, the plan index, manifests, the run journal), whose
//   loss or emptiness after a system crash could not be repaired from anything else.
// - unsynchronized: renamed without a flush. For bulk data that a crash can only leave
//   missing or damaged in a way a rerun or `verify` finds (blobs copied or sealed into a
//   repository, restored and exported files, downloads): an fsync per file would cost more
//   than the whole copy on most disks.
// The parent directory is never synchronised: the rename's durability is left to the file
// system's journal. Every temporary file is listed in TemporaryFiles while it exists, so an
// interrupted process removes it.
namespace AtomicFileWriter {

enum class Durability { synchronized, unsynchronized };

// Whether moving the file into place counts in TemporaryFiles::completed() (the progress
// of a transfer) or is bookkeeping that progress does not show.
enum class Completion { counted, notCounted };

// parent / ("." + file name + ".tmp-" + new upper-case UUID). Creates nothing.
std::filesystem::path temporarySibling(const std::filesystem::path& destination);

// Creates the destination's parent directory (with intermediates) and returns
// temporarySibling(destination). Creates no file.
std::filesystem::path temporaryURL(const std::filesystem::path& destination);

// One temporary file on its way to `destination`: registered, then created exclusively
// (mode 0644) by the constructor (PosixError "open" naming the temporary path). Dropped
// before moveIntoPlace, it is closed and removed, and the error that caused that is kept.
// Not thread-safe; owned by one writer.
class TemporaryFile {
 public:
  TemporaryFile(std::filesystem::path temporary, std::filesystem::path destination, Durability durability,
                Completion completion = Completion::counted);
  ~TemporaryFile();
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  int fd() const noexcept { return file_.get(); }
  const std::filesystem::path& path() const noexcept { return temporary_; }

  // Flushes (when synchronized) and closes: PosixError "fsync" or "close" naming the path.
  void close();
  // Renames the closed file over the destination: PosixError "rename" naming the destination.
  void moveIntoPlace();
  // The same to another destination in the same file system, for a file named after its
  // content, known only once it is written (create such a file with Completion::notCounted).
  void moveIntoPlace(const std::filesystem::path& destination);

 private:
  std::optional<std::int64_t> writtenSize() const;

  // Declared first, so the entry goes only after the file is renamed or removed.
  TemporaryFiles::Registration registration_;
  std::filesystem::path temporary_;
  std::filesystem::path destination_;
  Durability durability_;
  bool counted_;
  OpenFile file_;
  bool moved_ = false;
  std::optional<std::int64_t> size_;  // of a counted file, taken before it is closed
};

// Runs `write(fd, temporaryPath)` against a new temporary sibling of `destination` (its
// parent created first) and moves the result into place; on any failure the temporary
// file is removed and the error passes through unchanged.
void writeThroughTemporaryFile(const std::filesystem::path& destination, Durability durability,
                               const std::function<void(int fd, const std::filesystem::path& temporary)>& write);

// Copies the source's bytes (no metadata) into a temporary sibling of the destination and
// renames it over the destination (unsynchronized). A failed copy throws the PosixError of
// "copyfile(blob-data)"; no temporary file is left behind.
void copyFileData(const std::filesystem::path& source, const std::filesystem::path& destination);

}  // namespace AtomicFileWriter
}  // namespace tvr
