#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/Bytes.h"

namespace tvr {

// Small file helpers over POSIX; every failure throws PosixError naming the path.

Bytes readFileBytes(const std::filesystem::path& path);

// Writes `data` to a temporary sibling, flushes it and renames it over `path`, so `path`
// holds either its old contents or all of `data`. The parent directory must exist.
void writeFileAtomically(const std::filesystem::path& path, const Bytes& data);
void writeFileAtomically(const std::filesystem::path& path, const std::string& text);

// Creates the directory and its missing parents; an existing directory is fine and an empty
// path does nothing. Failure: PosixError("mkdir", errno, path).
void createDirectories(const std::filesystem::path& path);

// Writes all `size` bytes to `fd`, retrying after EINTR and short writes. Failure:
// PosixError("write", errno, path).
void writeFully(int fd, const void* data, std::size_t size, const std::filesystem::path& path);
// The same at `offset` (pwrite), leaving the file position alone; safe from several threads.
void writeFullyAt(int fd, const void* data, std::size_t size, std::uint64_t offset, const std::filesystem::path& path);

// Copies `in` from its position to its end into `out`: copy_file_range where the two files
// allow it, read and write otherwise, retrying after EINTR and short transfers (a host's
// signal handler without SA_RESTART must not fail a copy). Returns 0 or the failed step's errno.
int copyRemainingBytes(int in, int out);

// The owner of one file descriptor: closed when dropped (a failing close there is lost, so
// writers call close() themselves). Movable, not copyable; -1 holds nothing.
class OpenFile {
 public:
  OpenFile() = default;
  explicit OpenFile(int fd) noexcept : fd_(fd) {}
  OpenFile(OpenFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  OpenFile& operator=(OpenFile&& other) noexcept;
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile();
  int get() const noexcept { return fd_; }
  // Closes now, ignoring a failure (for error paths, where an earlier error is being reported).
  void reset() noexcept;
  // Closes now and reports a failing close (which can lose written data) as PosixError.
  void close(const std::filesystem::path& path);

 private:
  int fd_ = -1;
};

// open(2) that throws PosixError("open", errno, path) on failure. O_CLOEXEC is always added.
OpenFile openFile(const std::filesystem::path& path, int flags, unsigned mode = 0644);

// Opens a file that comes from a repository: without blocking (a FIFO in its place never
// hangs the caller) and only when it is a regular file. Without `followLinks` a symbolic
// link is refused as well. Failures: PosixError from open (ENOENT for a missing file, ELOOP
// for a refused link), or EngineError ioError "The file at <path> is not a regular file.".
OpenFile openRegularFileForReading(const std::filesystem::path& path, bool followLinks);

// The whole content of a repository file opened as above, refused when it is larger than
// `maxBytes`: EngineError ioError "The file at <path> is larger than <maxBytes> bytes.".
Bytes readRegularFileBytes(const std::filesystem::path& path, std::uint64_t maxBytes);

// True when `root` is `file` or one of its ancestors, comparing real paths component-wise.
// Any error (a missing path) answers false.
bool pathIsInsideOrSame(const std::filesystem::path& file, const std::filesystem::path& root);

// True when every "/"-separated component of `relative` (which holds no "..") exists below
// `root` and none is a symbolic link: such a path lies inside the root whatever the root
// itself resolves to, which one lstat a component tells without resolving real paths.
// False for a link, a missing item or any error: the caller then asks pathIsInsideOrSame.
bool existsWithoutLinksBelow(const std::filesystem::path& root, std::string_view relative);

// Reads from `fd` until `size` bytes have arrived or the file ends; returns the count read.
// A read error throws PosixError naming `path`.
std::size_t readFully(int fd, void* buffer, std::size_t size, const std::filesystem::path& path);

// An item (file, directory or link) exists at the path, without following a final link.
bool itemExists(const std::filesystem::path& path);

}  // namespace tvr
