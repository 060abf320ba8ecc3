#include "tests/support/SnapshotPrinting.h"

#include <sstream>

namespace tvr {

void PrintTo(const SnapshotEntry& e, std::ostream* os) {
  auto opt = [](const auto& v) {
    std::ostringstream s;
    if (v)
      s << *v;
    else
      s << "-";
    return s.str();
  };
  *os << "{" << e.id << " name=" << e.name << " relPath=" << e.relPath << " norm=" << e.relPathNorm
      << " kind=" << snapshotKindName(e.kind) << " size=" << opt(e.sizeBytes) << " created=" << opt(e.createdAt)
      << " modified=" << opt(e.modifiedAt) << " blob=" << opt(e.blobKey) << "}";
}

}  // namespace tvr
