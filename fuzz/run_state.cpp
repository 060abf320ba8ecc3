// One line of a backup run's journal (run-state/<plan>.jsonl). The input is placed between
// a valid start record and a valid completion record, so that it is never the torn last line
// the loader forgives: every problem in it must come out as the store's own error.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "engine/backup/BackupRunStateStore.h"
#include "fuzz/FuzzSupport.h"
#include "platform/Error.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const tvr::PlanID plan("family-archive");
  static const std::filesystem::path root = tvr::fuzz::scratchFolder() / "repository";
  static const std::filesystem::path journal = tvr::BackupRunStateStore::journalURL(root, plan);
  static const bool created = std::filesystem::create_directories(journal.parent_path());
  (void)created;

  std::string text =
      "{\"kind\":\"started\",\"planID\":\"family-archive\",\"runUUID\":\"6F9619FF-8B86-D011-B42D-00C04FC964FF\","
      "\"startedAt\":\"2026-04-02T08:00:00Z\",\"totalOperations\":3,\"updatedAt\":\"2026-04-02T08:00:00Z\"}\n";
  text.append(reinterpret_cast<const char*>(data), size);
  text +=
      "\n{\"completedOperation\":{\"kind\":\"mkdir\",\"relPath\":\"letters\"},\"kind\":\"completed\","
      "\"updatedAt\":\"2026-04-02T08:00:01Z\"}\n";
  tvr::fuzz::writeFile(journal, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  try {
    tvr::BackupRunStateStore::State state = tvr::BackupRunStateStore::load(root, plan);
    if (state.runUUIDs.empty() || state.completedOperations.empty()) std::abort();
    (void)tvr::BackupRunStateStore::partialRunSnapshot(root, plan);
  } catch (const tvr::Error&) {
  }
  return 0;
}
