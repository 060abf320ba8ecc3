#include "platform/AtomicFileWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/SecureRandom.h"
#include "platform/TemporaryFiles.h"

namespace tvr::AtomicFileWriter {

std::filesystem::path temporarySibling(const std::filesystem::path& destination) {
  return destination.parent_path() / ("." + destination.filename().string() + ".tmp-" + newUUIDString());
}

std::filesystem::path temporaryURL(const std::filesystem::path& destination) {
  createDirectories(destination.parent_path());
  return temporarySibling(destination);
}

TemporaryFile::TemporaryFile(std::filesystem::path temporary, std::filesystem::path destination, Durability durability,
                             Completion completion)
    : registration_(temporary),
      temporary_(std::move(temporary)),
      destination_(std::move(destination)),
      durability_(durability),
      counted_(completion == Completion::counted),
      file_(openFile(temporary_, O_WRONLY | O_CREAT | O_EXCL)) {}

TemporaryFile::~TemporaryFile() {
  if (moved_) return;
  file_.reset();
  // A temporary file that cannot be removed must not hide the error that got us here.
  ::unlink(temporary_.c_str());
}

void TemporaryFile::close() {
  if (durability_ == Durability::synchronized && file_.get() >= 0 && ::fsync(file_.get()) != 0) {
    throw PosixError("fsync", errno, temporary_.string());
  }
  if (counted_ && file_.get() >= 0) size_ = writtenSize();
  file_.close(temporary_);
}

std::optional<std::int64_t> TemporaryFile::writtenSize() const {
  struct stat status {};
  if (::fstat(file_.get(), &status) != 0) return std::nullopt;
  return static_cast<std::int64_t>(status.st_size);
}

void TemporaryFile::moveIntoPlace() { moveIntoPlace(destination_); }

void TemporaryFile::moveIntoPlace(const std::filesystem::path& destination) {
  if (counted_ && file_.get() >= 0) size_ = writtenSize();
  if (::rename(temporary_.c_str(), destination.c_str()) != 0) throw PosixError("rename", errno, destination.string());
  moved_ = true;
  // Counted from what was written, so progress needs no look at the destination.
  if (counted_ && size_) registration_.markMoved(*size_);
}

void writeThroughTemporaryFile(const std::filesystem::path& destination, Durability durability,
                               const std::function<void(int fd, const std::filesystem::path& temporary)>& write) {
  TemporaryFile file(temporaryURL(destination), destination, durability);
  write(file.fd(), file.path());
  file.close();
  file.moveIntoPlace();
}

void copyFileData(const std::filesystem::path& source, const std::filesystem::path& destination) {
  std::filesystem::path temporary = temporaryURL(destination);
  auto copyFailed = [&](int err) { return PosixError("copyfile(blob-data)", err, source.string()); };
  OpenFile in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) throw copyFailed(errno);
  // Every step of the copy itself reads as the copy's failure, naming the source.
  std::optional<TemporaryFile> out;
  try {
    out.emplace(std::move(temporary), destination, Durability::unsynchronized);
  } catch (const PosixError& error) {
    throw copyFailed(error.err());
  }
  if (int err = copyRemainingBytes(in.get(), out->fd())) throw copyFailed(err);
  try {
    out->close();
  } catch (const PosixError& error) {
    throw copyFailed(error.err());
  }
  out->moveIntoPlace();
}

}  // namespace tvr::AtomicFileWriter
