// The checkpoint manifest after decryption: the JSON decoder, the snapshot index built from
// it (implied directories, dates, Finder order), the walk an export makes over it with the
// dates as the front end prints them, and the encoder. Every file the walk meets can be
// looked up by its path.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "engine/catalog/BackupCatalog.h"
#include "engine/storage/RestoreSnapshot.h"
#include "platform/Error.h"
#include "platform/Iso8601.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tvr::SnapshotManifest manifest;
  try {
    manifest = tvr::SnapshotManifest::fromJSON(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const tvr::Error&) {
    return 0;
  }
  (void)manifest.toJSON();
  auto index = tvr::SnapshotIndex::fromManifest(manifest);
  // The walk an export makes, with the dates as the front end prints them.
  tvr::RestoreSnapshot snapshot("plan", 1, index);
  snapshot.walk(std::nullopt, [&](const tvr::SnapshotEntry& entry) {
    if (entry.createdAt) (void)tvr::formatISO8601(*entry.createdAt);
    if (entry.modifiedAt) (void)tvr::formatISO8601(*entry.modifiedAt);
    if (entry.kind == tvr::SnapshotKind::file && !index->fileEntry(entry.relPathNorm)) std::abort();
  });
  for (const auto& file : manifest.files) (void)index->fileEntry(file.relPathNorm);
  return 0;
}
