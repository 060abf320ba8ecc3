#pragma once

#include <ostream>

#include "engine/catalog/BackupCatalog.h"

namespace tvr {

// Readable failure output for snapshot entries (found by GoogleTest through the argument's
// namespace).
void PrintTo(const SnapshotEntry& entry, std::ostream* out);

}  // namespace tvr
