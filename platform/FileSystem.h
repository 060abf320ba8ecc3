#pragma once

#include <filesystem>
#include <string>

#include "platform/Bytes.h"

namespace tvr {

// Small file helpers over POSIX; every failure throws PosixError naming the path.

Bytes readFileBytes(const std::filesystem::path& path);

// Writes `data` to a temporary sibling, flushes it and renames it over `path`, so `path`
// holds either its old contents or all of `data`. The parent directory must exist.
void writeFileAtomically(const std::filesystem::path& path, const Bytes& data);
void writeFileAtomically(const std::filesystem::path& path, const std::string& text);

// True when `root` is `file` or one of its ancestors, comparing real paths component-wise.
// Any error (a missing path) answers false.
bool pathIsInsideOrSame(const std::filesystem::path& file, const std::filesystem::path& root);

// Reads from `fd` until `size` bytes have arrived or the file ends; returns the count read.
// A read error throws PosixError naming `path`.
std::size_t readFully(int fd, void* buffer, std::size_t size, const std::filesystem::path& path);

// An item (file, directory or link) exists at the path, without following a final link.
bool itemExists(const std::filesystem::path& path);

}  // namespace tvr
