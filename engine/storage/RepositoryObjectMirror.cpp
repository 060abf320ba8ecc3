#include "engine/storage/RepositoryObjectMirror.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/SecureRandom.h"

namespace tvr::RepositoryObjectMirror {

namespace {

struct RepositoryObject {
  RepositoryObjectKey key;
  std::filesystem::path url;
  RepositoryObjectWriteMode mode;
};

std::string withoutTrailingSeparator(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::vector<RepositoryObject> repositoryObjects(const std::filesystem::path& root) {
  std::vector<RepositoryObject> objects;
  for (const char* fixed : {"repo.json", "plans.json", "catalog.sqlite"}) {
    std::filesystem::path file = root / fixed;
    struct stat st;
    if (::stat(file.c_str(), &st) == 0) {
      objects.push_back({RepositoryObjectKey(fixed), file, RepositoryObjectWriteMode::replace()});
    }
  }

  std::filesystem::path blobs = root / "blobs";
  std::error_code ec;
  if (std::filesystem::exists(blobs, ec)) {
    std::filesystem::path resolvedRoot = std::filesystem::weakly_canonical(root, ec);
    if (ec) throw PosixError("realpath", ec.value(), root.string());
    std::string rootPath = withoutTrailingSeparator(resolvedRoot.string());
    std::string rootPrefix = rootPath == "/" ? "/" : rootPath + "/";

    std::filesystem::recursive_directory_iterator it(blobs, ec), end;
    if (ec) throw PosixError("opendir", ec.value(), blobs.string());
    for (; it != end; it.increment(ec)) {
      if (ec) throw PosixError("readdir", ec.value(), blobs.string());
      const std::filesystem::directory_entry& entry = *it;
      std::string name = entry.path().filename().string();
      if (!name.empty() && name.front() == '.') {
        if (entry.is_directory(ec)) it.disable_recursion_pending();
        continue;
      }
      bool regular = entry.is_regular_file(ec);
      if (ec) throw PosixError("stat", ec.value(), entry.path().string());
      if (!regular) continue;
      std::uintmax_t size = entry.file_size(ec);
      if (ec) throw PosixError("stat", ec.value(), entry.path().string());
      std::string resolved = std::filesystem::weakly_canonical(entry.path(), ec).string();
      if (ec) throw PosixError("realpath", ec.value(), entry.path().string());
      if (resolved.rfind(rootPrefix, 0) != 0) {
        throw EngineError::ioError("Path " + resolved + " is not under root " + rootPath);
      }
      RepositoryObjectKey key(resolved.substr(rootPrefix.size()));
      objects.push_back(
          {std::move(key), entry.path(), RepositoryObjectWriteMode::createIfAbsent(static_cast<std::int64_t>(size))});
    }
    if (ec) throw PosixError("readdir", ec.value(), blobs.string());
  }

  std::sort(objects.begin(), objects.end(),
            [](const RepositoryObject& a, const RepositoryObject& b) { return a.key.rawValue() < b.key.rawValue(); });
  return objects;
}

// Compares two files from disk in blocks; never holds either whole.
bool filesAreEqual(const std::filesystem::path& a, const std::filesystem::path& b) {
  OpenFile fa = openFile(a, O_RDONLY);
  OpenFile fb = openFile(b, O_RDONLY);
  std::vector<char> bufferA(1 << 16), bufferB(1 << 16);
  for (;;) {
    std::size_t na = readFully(fa.get(), bufferA.data(), bufferA.size(), a);
    std::size_t nb = readFully(fb.get(), bufferB.data(), bufferB.size(), b);
    if (na != nb || std::memcmp(bufferA.data(), bufferB.data(), na) != 0) return false;
    if (na == 0) return true;
  }
}

void verifySkippedExistingObjectMatchesLocal(const RepositoryObject& object, RepositoryStorageBackend& backend,
                                             const CancellationToken& cancel) {
  std::string flattened = object.key.rawValue();
  std::replace(flattened.begin(), flattened.end(), '/', '-');
  std::filesystem::path temporary = object.url.parent_path() / (".mirror-verify-" + flattened + "-" + newUUIDString());
  struct Remover {
    const std::filesystem::path& path;
    // A leftover verification copy is hidden and harmless; a failed removal is ignored.
    ~Remover() { ::unlink(path.c_str()); }
  } remover{temporary};
  backend.readObject(object.key, temporary, cancel);
  if (!filesAreEqual(object.url, temporary)) {
    throw EngineError::ioError("Existing remote object " + object.key.rawValue() +
                               " does not match local repository content.");
  }
}

}  // namespace

RepositoryMirrorSummary mirrorLocalRepository(const std::filesystem::path& atRoot, RepositoryStorageBackend& backend,
                                              const CancellationToken& cancel) {
  std::vector<RepositoryObject> objects = repositoryObjects(atRoot);
  RepositoryMirrorSummary summary;
  for (const RepositoryObject& object : objects) {
    cancel.throwIfCancelled();
    RepositoryObjectWriteResult result = backend.writeObject(object.url, object.key, object.mode, cancel);
    if (result.status == RepositoryObjectWriteResult::Status::written) {
      summary.objectsWritten += 1;
      summary.bytesWritten += result.byteCount;
    } else {
      verifySkippedExistingObjectMatchesLocal(object, backend, cancel);
      summary.objectsSkipped += 1;
    }
  }
  summary.objectsScanned = static_cast<std::int64_t>(objects.size());
  return summary;
}

}  // namespace tvr::RepositoryObjectMirror
