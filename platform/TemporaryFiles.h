#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

namespace tvr {

// The process-wide list of temporary files being written right now, so that an interrupted
// process can remove them on its way out and a progress display can watch them grow.
// Thread-safe. Registering never fails the write it describes.
namespace TemporaryFiles {

// Lists `temporary` while it exists; register before the file is created. A file marked
// moved (into its destination, holding `bytes`) counts as completed when the registration
// is dropped (see completed()).
class Registration {
 public:
  explicit Registration(std::filesystem::path temporary);
  ~Registration();
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;

  void markMoved(std::int64_t bytes) noexcept { movedBytes_ = bytes; }

 private:
  std::uint64_t id_;
  std::optional<std::int64_t> movedBytes_;
};

// The temporary files listed now.
std::vector<std::filesystem::path> inFlight();

// Files and bytes moved into their destination since the process started.
struct Completed {
  std::int64_t files = 0;
  std::int64_t bytes = 0;
};
Completed completed();

// Unlinks every listed file and lists no new one from now on: a Registration made later
// blocks its thread for good, so nothing new is created while the process ends.
void removeAllForExit() noexcept;

}  // namespace TemporaryFiles
}  // namespace tvr
