#include "platform/TemporaryFiles.h"

#include <unistd.h>

#include <map>
#include <mutex>
#include <thread>

namespace tvr::TemporaryFiles {

namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::uint64_t, std::filesystem::path> entries;
  std::uint64_t nextID = 1;
  bool closed = false;
  Completed completed;
};

// Never destroyed: a signal thread may use it while static destructors run.
Registry& registry() {
  static Registry* instance = new Registry;
  return *instance;
}

}  // namespace

Registration::Registration(std::filesystem::path temporary) {
  Registry& r = registry();
  std::unique_lock lock(r.mutex);
  // The process is ending: hold this writer before it creates a file nobody would remove.
  while (r.closed) {
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::hours(1));
    lock.lock();
  }
  id_ = r.nextID++;
  r.entries.emplace(id_, std::move(temporary));
}

Registration::~Registration() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  auto it = r.entries.find(id_);
  if (it == r.entries.end()) return;
  if (movedBytes_) {
    r.completed.files += 1;
    r.completed.bytes += *movedBytes_;
  }
  r.entries.erase(it);
}

std::vector<std::filesystem::path> inFlight() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  std::vector<std::filesystem::path> paths;
  for (const auto& [id, temporary] : r.entries) paths.push_back(temporary);
  return paths;
}

Completed completed() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  return r.completed;
}

void removeAllForExit() noexcept {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.closed = true;
  for (const auto& [id, temporary] : r.entries) ::unlink(temporary.c_str());
}

}  // namespace tvr::TemporaryFiles
