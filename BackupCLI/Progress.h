#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

namespace tvr::cli {

// A one-line progress indicator for long commands: files and bytes done of the total, rate
// and time left, redrawn at most ten times a second on its own thread and erased when the
// work ends. Bytes come from what the command counts itself plus the files the engine moved
// into place and the temporary files it is writing (platform/TemporaryFiles). Disabled, it
// does nothing at all. One owner thread calls start/count/finish; drawing is internal.
class Progress {
 public:
  // Receives raw terminal text (no line end); empty disables the indicator.
  using Writer = std::function<void(const std::string&)>;

  explicit Progress(Writer writer = {});
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  bool enabled() const noexcept { return static_cast<bool>(writer_); }

  // Begins drawing; a total that is not known is left out of the line.
  void start(std::string label, std::optional<std::int64_t> totalFiles, std::optional<std::int64_t> totalBytes);
  // Work the command counts itself.
  void count(std::int64_t files, std::int64_t bytes);
  // Files and bytes done as measured by the command itself, asked at every redraw in place
  // of the counts above (verify reads files without writing any). Called on the drawing
  // thread; set before start().
  using Probe = std::function<std::pair<std::int64_t, std::int64_t>()>;
  void setProbe(Probe probe) { probe_ = std::move(probe); }
  // Stops drawing and erases the line.
  void finish();

  // The line for a state, exposed for tests: "Exporting 3/10 files, 1.5 MB of 4.0 MB, 2.0 MB/s, 2 s left".
  static std::string line(const std::string& label, std::int64_t files, std::optional<std::int64_t> totalFiles,
                          std::int64_t bytes, std::optional<std::int64_t> totalBytes, double elapsedSeconds);

  // Erases a line left on the terminal by the running indicator, if any (the signal path).
  static void eraseForExit() noexcept;

 private:
  void draw();

  Writer writer_;
  Probe probe_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread thread_;
  bool running_ = false;
  std::string label_;
  std::optional<std::int64_t> totalFiles_;
  std::optional<std::int64_t> totalBytes_;
  std::int64_t countedFiles_ = 0;
  std::int64_t countedBytes_ = 0;
  std::int64_t baselineFiles_ = 0;
  std::int64_t baselineBytes_ = 0;
  std::chrono::steady_clock::time_point started_;
};

}  // namespace tvr::cli
