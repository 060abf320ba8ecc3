#include "tests/support/Files.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/CanonicalJson.h"
#include "platform/FileSystem.h"

namespace tvr::test {

namespace fs = std::filesystem;

std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeText(const fs::path& path, const std::string& text) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

Bytes readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeBytes(const fs::path& path, const Bytes& data) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

std::vector<std::string> directoryListing(const fs::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> treeListing(const fs::path& root) {
  std::vector<std::string> names;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    std::string name = fs::relative(it->path(), root).string();
    if (it->is_directory() && !it->is_symlink()) name += "/";
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> temporaryFilesBelow(const fs::path& directory) {
  std::vector<std::string> found;
  if (!fs::exists(directory)) return found;
  for (const auto& item : fs::recursive_directory_iterator(directory)) {
    if (item.path().filename().string().find(".tmp-") != std::string::npos) found.push_back(item.path().string());
  }
  return found;
}

long long modificationTime(const fs::path& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return -1;
  return static_cast<long long>(status.st_mtim.tv_sec);
}

nlohmann::json readJsonFile(const fs::path& path) {
  Bytes data = readFileBytes(path);
  return nlohmann::json::parse(data.begin(), data.end());
}

void writeJsonFile(const fs::path& path, const nlohmann::json& value) {
  writeFileAtomically(path, canonicalJsonString(value, true));
}

}  // namespace tvr::test
