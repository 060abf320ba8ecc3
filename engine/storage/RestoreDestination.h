#pragma once

#include <filesystem>

namespace tvr {

// The checks a restore, an export or a hydration makes on its destination before it
// writes, when the caller did not ask to overwrite. Each check is made here only; the
// reader and the command line word their own refusal from the answer.

// Why a destination is refused; `none` when it may be written.
enum class DestinationRefusal {
  none,
  existingItem,       // restore: any item is there (a link too, dangling or not)
  existingFile,       // folder destination: something that is not a directory is there
  nonEmptyDirectory,  // folder destination: a directory with any entry (hidden ones count)
};

// A file destination (restore): refused when any item exists at the path, the final link
// not followed. Never throws.
DestinationRefusal fileDestinationRefusal(const std::filesystem::path& destination, bool overwrite);

// A folder destination (export, hydration): nothing there or an empty directory passes;
// a final link to a directory counts as that directory. Throws PosixError when the item
// cannot be looked at for another reason than its absence, or the directory cannot be
// listed.
DestinationRefusal folderDestinationRefusal(const std::filesystem::path& destination, bool overwrite);

}  // namespace tvr
