#pragma once

#include <filesystem>

namespace tvr {

// Files are written through a temporary sibling and then moved into place, so a destination
// never holds a partial copy. Stateless; failures throw tvr::Error (PosixError).
namespace AtomicFileWriter {

// Creates the destination's parent directory (with intermediates) and returns
// parent / ("." + file name + ".tmp-" + new upper-case UUID). Creates no file.
std::filesystem::path temporaryURL(const std::filesystem::path& destination);

// Copies the source's bytes (no metadata) into a temporary sibling of the destination and
// renames it over the destination. A failed copy throws the PosixError of
// "copyfile(blob-data)"; no temporary file is left behind.
void copyFileData(const std::filesystem::path& source, const std::filesystem::path& destination);

}  // namespace AtomicFileWriter
}  // namespace tvr
