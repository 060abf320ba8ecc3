#include "platform/AtomicFileWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Error.h"
#include "platform/SecureRandom.h"
#include "platform/TemporaryFiles.h"

namespace tvr::AtomicFileWriter {

std::filesystem::path temporaryURL(const std::filesystem::path& destination) {
  std::filesystem::path parent = destination.parent_path();
  if (!parent.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(parent, ec);
    if (ec) throw PosixError("mkdir", ec.value(), parent.string());
  }
  return parent / ("." + destination.filename().string() + ".tmp-" + newUUIDString());
}

namespace {
// Returns 0 or the errno of the failed step.
int copyBytes(int in, int out) {
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
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(out, buffer + done, static_cast<size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      done += w;
    }
  }
}
}  // namespace

void copyFileData(const std::filesystem::path& source, const std::filesystem::path& destination) {
  std::filesystem::path temp = temporaryURL(destination);
  const TemporaryFiles::Registration inFlight(temp, destination);
  int err = 0;
  int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    err = errno;
  } else {
    int out = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (out < 0) {
      err = errno;
    } else {
      err = copyBytes(in, out);
      if (::close(out) != 0 && err == 0) err = errno;
    }
    ::close(in);
  }
  if (err != 0) {
    ::unlink(temp.c_str());
    throw PosixError("copyfile(blob-data)", err, source.string());
  }
  if (::rename(temp.c_str(), destination.c_str()) != 0) {
    err = errno;
    ::unlink(temp.c_str());
    throw PosixError("rename", err, destination.string());
  }
}

}  // namespace tvr::AtomicFileWriter
