#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/Bytes.h"

namespace tvr::test {

// Plain file access for tests: no atomic writes, no engine error types. Reading a missing
// file gives empty contents; a failed write is not reported (the test's checks catch it).

// The file's bytes as text (binary, nothing translated).
std::string readText(const std::filesystem::path& path);
// Replaces the file with `text`, making its folders first.
void writeText(const std::filesystem::path& path, const std::string& text);
Bytes readBytes(const std::filesystem::path& path);
void writeBytes(const std::filesystem::path& path, const Bytes& data);

// The lines of `text` without their line ends (a last line without one counts).
std::vector<std::string> lines(const std::string& text);

// Names of the items directly inside `directory`, sorted.
std::vector<std::string> directoryListing(const std::filesystem::path& directory);
// Names of every file and directory below `root`, relative, sorted ("a/", "a/b.txt").
std::vector<std::string> treeListing(const std::filesystem::path& root);
// Every item below `directory` whose name marks a temporary file of an atomic write.
std::vector<std::string> temporaryFilesBelow(const std::filesystem::path& directory);

// Modification time in Unix seconds (whole seconds), -1 when the file cannot be read.
long long modificationTime(const std::filesystem::path& path);

nlohmann::json readJsonFile(const std::filesystem::path& path);
// Writes `value` as the engine writes its documents (canonical, pretty).
void writeJsonFile(const std::filesystem::path& path, const nlohmann::json& value);

}  // namespace tvr::test
