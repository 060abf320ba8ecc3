#include "engine/storage/RepositoryObjectHydrator.h"

#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/FileSystem.h"

namespace tvr::RepositoryObjectHydrator {

namespace {
EngineError escapes(const std::string& raw) {
  return EngineError::ioError("Repository object key escapes hydration root: " + raw);
}

std::vector<std::string> segments(const std::string& raw) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  for (;;) {
    std::size_t slash = raw.find('/', start);
    pieces.push_back(raw.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
    if (slash == std::string::npos) return pieces;
    start = slash + 1;
  }
}
// Links resolve only on existing paths, so this runs after the folder exists.
void requireInside(const std::filesystem::path& directory, const std::filesystem::path& root, const std::string& raw) {
  if (pathIsInsideOrSame(directory, root)) return;
  // Tell a failed query (a vanished root, a dangling link) from a link that leads elsewhere.
  std::error_code ec;
  (void)std::filesystem::canonical(root, ec);
  if (ec) throw PosixError("realpath", ec.value(), root.string());
  (void)std::filesystem::canonical(directory, ec);
  if (ec) throw PosixError("realpath", ec.value(), directory.string());
  throw escapes(raw);
}
}  // namespace

std::filesystem::path confinedDestination(const RepositoryObjectKey& key, const std::filesystem::path& root) {
  const std::string& raw = key.rawValue();
  std::filesystem::path destination = root;
  for (const std::string& piece : segments(raw)) {
    if (piece.empty() || piece == "." || piece == "..") throw escapes(raw);
    destination /= piece;
  }
  // The folders are made one level at a time and each is checked before the next is made,
  // so a link planted in the tree cannot get even an empty folder created outside it.
  std::filesystem::path parent = root;
  std::vector<std::string> pieces = segments(raw);
  for (std::size_t i = 0; i + 1 < pieces.size(); ++i) {
    parent /= pieces[i];
    if (::mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) {
      throw PosixError("mkdir", errno, parent.string());
    }
    requireInside(parent, root, raw);
  }
  requireInside(parent, root, raw);
  // A link planted at the final component is harmless: downloads rename over it, replacing
  // the link rather than writing through it.
  return destination;
}

RepositoryHydrationSummary hydrateRepository(RepositoryStorageBackend& backend, const std::filesystem::path& toRoot,
                                             const CancellationToken& cancel) {
  std::vector<RepositoryObjectKey> keys = backend.listObjectKeys(std::nullopt, cancel);
  std::error_code ec;
  std::filesystem::create_directories(toRoot, ec);
  if (ec) throw PosixError("mkdir", ec.value(), toRoot.string());
  if (!std::filesystem::is_directory(toRoot)) throw PosixError("mkdir", ENOTDIR, toRoot.string());
  RepositoryHydrationSummary summary;
  for (const RepositoryObjectKey& listed : keys) {
    cancel.throwIfCancelled();
    RepositoryObjectKey key(listed.rawValue());
    std::filesystem::path destination = confinedDestination(key, toRoot);
    backend.readObject(key, destination, cancel);
    struct stat st;
    if (::stat(destination.c_str(), &st) != 0) throw PosixError("stat", errno, destination.string());
    summary.bytesRead += static_cast<std::int64_t>(st.st_size);
    summary.objectsRead += 1;
  }
  return summary;
}

}  // namespace tvr::RepositoryObjectHydrator
