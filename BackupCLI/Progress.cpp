#include "BackupCLI/Progress.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <tuple>

#include "platform/TemporaryFiles.h"

namespace tvr::cli {

namespace {

// Set while a line is on the terminal, so the signal path can erase it.
std::atomic<bool> lineShown{false};

const char* const kErase = "\r\x1b[K";

std::string bytesText(double bytes) {
  const char* units[] = {"B", "KB", "MB", "GB", "TB"};
  int unit = 0;
  while (bytes >= 1000 && unit < 4) {
    bytes /= 1000;
    unit += 1;
  }
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
  return buffer;
}

std::string durationText(double seconds) {
  long total = std::lround(seconds);
  char buffer[32];
  if (total >= 3600) {
    std::snprintf(buffer, sizeof buffer, "%ld h %02ld min", total / 3600, (total % 3600) / 60);
  } else if (total >= 60) {
    std::snprintf(buffer, sizeof buffer, "%ld min %02ld s", total / 60, total % 60);
  } else {
    std::snprintf(buffer, sizeof buffer, "%ld s", total);
  }
  return buffer;
}

}  // namespace

Progress::Progress(Writer writer) : writer_(std::move(writer)) {}

Progress::~Progress() { finish(); }

std::string Progress::line(const std::string& label, std::int64_t files, std::optional<std::int64_t> totalFiles,
                           std::int64_t bytes, std::optional<std::int64_t> totalBytes, double elapsedSeconds) {
  std::string text = label + " " + std::to_string(files);
  if (totalFiles) text += "/" + std::to_string(*totalFiles);
  text += " files, " + bytesText(static_cast<double>(bytes));
  if (totalBytes) text += " of " + bytesText(static_cast<double>(*totalBytes));
  if (elapsedSeconds > 0.5 && bytes > 0) {
    double rate = static_cast<double>(bytes) / elapsedSeconds;
    text += ", " + bytesText(rate) + "/s";
    if (totalBytes && *totalBytes >= bytes) {
      text += ", " + durationText(static_cast<double>(*totalBytes - bytes) / rate) + " left";
    }
  }
  return text;
}

void Progress::start(std::string label, std::optional<std::int64_t> totalFiles,
                     std::optional<std::int64_t> totalBytes) {
  if (!enabled()) return;
  std::lock_guard lock(mutex_);
  if (running_) return;
  label_ = std::move(label);
  totalFiles_ = totalFiles;
  totalBytes_ = totalBytes;
  TemporaryFiles::Completed baseline = TemporaryFiles::completed();
  baselineFiles_ = baseline.files;
  baselineBytes_ = baseline.bytes;
  started_ = std::chrono::steady_clock::now();
  running_ = true;
  thread_ = std::thread([this] {
    std::unique_lock lock(mutex_);
    // The first line waits a tick, so commands that end at once never flash one.
    while (!wake_.wait_for(lock, std::chrono::milliseconds(100), [this] { return !running_; })) {
      lock.unlock();
      draw();
      lock.lock();
    }
  });
}

void Progress::count(std::int64_t files, std::int64_t bytes) {
  std::lock_guard lock(mutex_);
  countedFiles_ += files;
  countedBytes_ += bytes;
}

void Progress::draw() {
  std::string label;
  std::optional<std::int64_t> totalFiles, totalBytes;
  std::int64_t files, bytes;
  double elapsed;
  {
    std::lock_guard lock(mutex_);
    label = label_;
    totalFiles = totalFiles_;
    totalBytes = totalBytes_;
    TemporaryFiles::Completed completed = TemporaryFiles::completed();
    files = countedFiles_ + completed.files - baselineFiles_;
    bytes = countedBytes_ + completed.bytes - baselineBytes_;
    elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  }
  if (probe_) {
    std::tie(files, bytes) = probe_();
  } else {
    for (const std::filesystem::path& temporary : TemporaryFiles::inFlight()) {
      struct stat status {};
      if (::stat(temporary.c_str(), &status) == 0) bytes += static_cast<std::int64_t>(status.st_size);
    }
  }
  if (totalBytes && bytes > *totalBytes) bytes = *totalBytes;
  writer_(std::string(kErase) + line(label, files, totalFiles, bytes, totalBytes, elapsed));
  lineShown = true;
}

void Progress::finish() {
  {
    std::lock_guard lock(mutex_);
    if (!running_) return;
    running_ = false;
  }
  wake_.notify_all();
  thread_.join();
  writer_(kErase);
  lineShown = false;
}

void Progress::eraseForExit() noexcept {
  if (!lineShown) return;
  ssize_t ignored = ::write(STDERR_FILENO, kErase, 4);
  (void)ignored;
}

}  // namespace tvr::cli
