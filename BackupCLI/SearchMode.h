#pragma once

#include <string>

namespace tvr::cli {

// How `search` matches file names; chosen by --exact, --prefix or --contains (none: fuzzy).
enum class SearchMode { fuzzy, exact, prefix, contains };

// The text form used in output ("fuzzy", "exact", "prefix", "contains").
inline std::string searchModeText(SearchMode mode) {
  switch (mode) {
    case SearchMode::fuzzy:
      return "fuzzy";
    case SearchMode::exact:
      return "exact";
    case SearchMode::prefix:
      return "prefix";
    case SearchMode::contains:
      return "contains";
  }
  return "fuzzy";
}

}  // namespace tvr::cli
