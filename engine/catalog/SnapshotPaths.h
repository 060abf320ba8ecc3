#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tvr::catalog_internal {

// Splits on every "/" (empty components kept, so the split and prefix tests agree).
std::vector<std::string_view> splitPath(std::string_view path);
std::string_view trimSlashes(std::string_view path);

// Calls visit(directoryNorm, directoryDisplay) for every ancestor directory of an entry, top
// down. The display path of an ancestor takes the entry's display components when it has as
// many as the normalised path, otherwise the normalised ones. The one walk both the
// checkpoint writer and the checkpoint index use for implied directories.
template <class Visit>
void forEachAncestorDirectory(std::string_view relPathNorm, std::string_view relPath, Visit&& visit) {
  std::vector<std::string_view> normParts = splitPath(trimSlashes(relPathNorm));
  std::vector<std::string_view> displayParts = splitPath(trimSlashes(relPath));
  bool displayMatches = displayParts.size() == normParts.size();
  std::string dirNorm, dirDisplay;
  for (std::size_t level = 0; level + 1 < normParts.size(); ++level) {
    if (level > 0) {
      dirNorm += '/';
      dirDisplay += '/';
    }
    dirNorm += normParts[level];
    dirDisplay += displayMatches ? displayParts[level] : normParts[level];
    visit(static_cast<const std::string&>(dirNorm), static_cast<const std::string&>(dirDisplay));
  }
}

}  // namespace tvr::catalog_internal
