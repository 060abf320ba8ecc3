#include "platform/FileSystem.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>

#include "platform/AtomicFileWriter.h"
#include "platform/Error.h"

namespace tvr {

void createDirectories(const std::filesystem::path& path) {
  if (path.empty()) return;
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) throw PosixError("mkdir", ec.value(), path.string());
}

namespace {
// Both writes: every byte, retrying after EINTR and short writes; at `offset` with pwrite.
void writeAll(int fd, const void* data, std::size_t size, std::optional<std::uint64_t> offset,
              const std::filesystem::path& path) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    ssize_t n = offset ? ::pwrite(fd, bytes, size, static_cast<off_t>(*offset)) : ::write(fd, bytes, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw PosixError("write", errno, path.string());
    }
    bytes += n;
    if (offset) *offset += static_cast<std::uint64_t>(n);
    size -= static_cast<std::size_t>(n);
  }
}
}  // namespace

void writeFully(int fd, const void* data, std::size_t size, const std::filesystem::path& path) {
  writeAll(fd, data, size, std::nullopt, path);
}

void writeFullyAt(int fd, const void* data, std::size_t size, std::uint64_t offset, const std::filesystem::path& path) {
  writeAll(fd, data, size, offset, path);
}

int copyRemainingBytes(int in, int out) {
  bool useCopyRange = true;
  for (;;) {
    if (useCopyRange) {
      ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
      if (n > 0) continue;
      if (n == 0) return 0;
      if (errno == EINTR) continue;
      if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
        return errno;
      }
      useCopyRange = false;  // not supported between these files: plain read and write
    }
    char buffer[1 << 16];
    ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    try {
      writeFully(out, buffer, static_cast<std::size_t>(n), {});
    } catch (const PosixError& error) {
      return error.err();
    }
  }
}

OpenFile openFile(const std::filesystem::path& path, int flags, unsigned mode) {
  OpenFile file(::open(path.c_str(), flags | O_CLOEXEC, static_cast<mode_t>(mode)));
  if (file.get() < 0) throw PosixError("open", errno, path.string());
  return file;
}

Bytes readFileBytes(const std::filesystem::path& path) {
  OpenFile file = openFile(path, O_RDONLY);
  Bytes out;
  std::uint8_t buffer[65536];
  for (;;) {
    std::size_t n = readFully(file.get(), buffer, sizeof buffer, path);
    if (n == 0) break;
    out.insert(out.end(), buffer, buffer + n);
  }
  return out;
}

void writeFileAtomically(const std::filesystem::path& path, const Bytes& data) {
  // The parent must exist: a missing folder is the caller's error, not created here.
  AtomicFileWriter::TemporaryFile file(AtomicFileWriter::temporarySibling(path), path,
                                       AtomicFileWriter::Durability::synchronized,
                                       AtomicFileWriter::Completion::notCounted);
  writeFully(file.fd(), data.data(), data.size(), file.path());
  file.close();
  file.moveIntoPlace();
}

void writeFileAtomically(const std::filesystem::path& path, const std::string& text) {
  writeFileAtomically(path, bytesOf(text));
}

bool pathIsInsideOrSame(const std::filesystem::path& file, const std::filesystem::path& root) {
  std::error_code ec;
  auto realFile = std::filesystem::canonical(file, ec);
  if (ec) return false;
  auto realRoot = std::filesystem::canonical(root, ec);
  if (ec) return false;
  auto f = realFile.begin();
  for (auto r = realRoot.begin(); r != realRoot.end(); ++r, ++f) {
    if (r->empty()) continue;  // trailing separator
    if (f == realFile.end() || *f != *r) return false;
  }
  return true;
}

bool existsWithoutLinksBelow(const std::filesystem::path& root, std::string_view relative) {
  std::string path = root.empty() ? std::string(".") : root.native();
  std::size_t start = 0;
  for (;;) {
    std::size_t slash = relative.find('/', start);
    if (path.empty() || path.back() != '/') path += '/';
    path += relative.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) return false;
    if (slash == std::string_view::npos) return true;
    start = slash + 1;
  }
}

std::size_t readFully(int fd, void* buffer, std::size_t size, const std::filesystem::path& path) {
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::read(fd, bytes + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw PosixError("read", errno, path.string());
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

void OpenFile::reset() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

OpenFile& OpenFile::operator=(OpenFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

void OpenFile::close(const std::filesystem::path& path) {
  int fd = fd_;
  fd_ = -1;
  if (fd >= 0 && ::close(fd) != 0) throw PosixError("close", errno, path.string());
}

OpenFile::~OpenFile() {
  if (fd_ >= 0) ::close(fd_);
}

OpenFile openRegularFileForReading(const std::filesystem::path& path, bool followLinks) {
  int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (followLinks ? 0 : O_NOFOLLOW);
  OpenFile file(::open(path.c_str(), flags));
  if (file.get() < 0) throw PosixError("open", errno, path.string());
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) throw PosixError("fstat", errno, path.string());
  if (!S_ISREG(status.st_mode)) throw EngineError::ioError("The file at " + path.string() + " is not a regular file.");
  // Reads of a regular file never block; clearing the flag keeps later reads ordinary.
  int current = ::fcntl(file.get(), F_GETFL);
  if (current >= 0) ::fcntl(file.get(), F_SETFL, current & ~O_NONBLOCK);
  return file;
}

Bytes readRegularFileBytes(const std::filesystem::path& path, std::uint64_t maxBytes) {
  OpenFile file = openRegularFileForReading(path, true);
  auto tooLarge = [&] {
    return EngineError::ioError("The file at " + path.string() + " is larger than " + std::to_string(maxBytes) +
                                " bytes.");
  };
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) throw PosixError("fstat", errno, path.string());
  if (static_cast<std::uint64_t>(status.st_size) > maxBytes) throw tooLarge();
  Bytes out;
  std::uint8_t buffer[65536];
  for (;;) {
    std::size_t n = readFully(file.get(), buffer, sizeof buffer, path);
    if (n == 0) break;
    // The file may grow while it is read.
    if (out.size() + n > maxBytes) throw tooLarge();
    out.insert(out.end(), buffer, buffer + n);
  }
  return out;
}

bool itemExists(const std::filesystem::path& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace tvr
