#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <set>

#include "engine/storage/LocalRepositoryStorageBackend.h"
#include "engine/storage/RepositoryObjectHydrator.h"
#include "platform/Error.h"
#include "tests/support/Files.h"
#include "tests/support/RecordingStorageBackend.h"
#include "tests/support/S3rverFixture.h"
#include "tests/support/TempDir.h"

namespace tvr {
namespace {

using test::readText;
using test::RecordingStorageBackend;
using test::TempDir;
using test::writeText;

std::string patterned(std::size_t size, unsigned seed) {
  std::string out(size, '\0');
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>((i * 7 + (i >> 12) + seed) % 251);
  return out;
}

// A small repository of object files: three blobs in two shards and the fixed objects.
std::map<std::string, std::string> sampleObjects() {
  return {{"blobs/0a/0a" + std::string(62, '1'), patterned(1000, 1)},
          {"blobs/ff/ff" + std::string(62, '2'), patterned(9 * 1024 * 1024 + 3, 2)},
          {"blobs/ff/ff" + std::string(62, '3'), ""},
          {"catalog.sqlite", patterned(4096, 3)},
          {"plans.json", "{\"plans\":[]}"},
          {"repo.json", "{\"formatVersion\":1}"}};
}

void expectHydrated(const std::filesystem::path& root, const std::map<std::string, std::string>& objects) {
  for (const auto& [key, content] : objects) {
    SCOPED_TRACE(key);
    ASSERT_TRUE(std::filesystem::is_regular_file(root / key));
    EXPECT_TRUE(readText(root / key) == content);
  }
}

std::int64_t totalSize(const std::map<std::string, std::string>& objects) {
  std::int64_t total = 0;
  for (const auto& [key, content] : objects) total += static_cast<std::int64_t>(content.size());
  return total;
}

TEST(RepositoryObjectHydratorTests, HydratesALocalFolderInKeyOrder) {
  TempDir source, destination;
  auto objects = sampleObjects();
  for (const auto& [key, content] : objects) writeText(source.path() / key, content);
  writeText(source.path() / ".catalog.sqlite.tmp-5A1B", "leftover");
  LocalRepositoryStorageBackend local(source.path());
  RecordingStorageBackend backend(local);

  auto target = destination.path() / "new" / "repository";
  auto summary = RepositoryObjectHydrator::hydrateRepository(backend, target, CancellationToken::none(), 1);
  EXPECT_EQ(summary, (RepositoryHydrationSummary{6, totalSize(objects)}));
  expectHydrated(target, objects);
  EXPECT_FALSE(std::filesystem::exists(target / ".catalog.sqlite.tmp-5A1B"));
  std::vector<std::string> expectedOrder;
  for (const auto& [key, content] : objects) expectedOrder.push_back(key);  // std::map: byte order
  EXPECT_EQ(backend.reads, expectedOrder);

  // Again over the result, with an unrelated file: objects are replaced, the rest stays.
  writeText(target / "repo.json", "stale");
  writeText(target / "notes.txt", "mine");
  EXPECT_EQ(RepositoryObjectHydrator::hydrateRepository(backend, target), summary);
  expectHydrated(target, objects);
  EXPECT_EQ(readText(target / "notes.txt"), "mine");
}

TEST(RepositoryObjectHydratorTests, ParallelTransfersGiveTheSameTree) {
  TempDir source, serial, parallel;
  auto objects = sampleObjects();
  for (int i = 0; i < 200; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "%02x", i % 37);
    objects["blobs/" + std::string(name) + "/" + name + std::to_string(i)] =
        patterned(static_cast<std::size_t>(i * 97), i);
  }
  for (const auto& [key, content] : objects) writeText(source.path() / key, content);
  LocalRepositoryStorageBackend backend(source.path());
  auto one = RepositoryObjectHydrator::hydrateRepository(backend, serial.path(), CancellationToken::none(), 1);
  auto many = RepositoryObjectHydrator::hydrateRepository(backend, parallel.path(), CancellationToken::none(), 16);
  EXPECT_EQ(one, (RepositoryHydrationSummary{static_cast<std::int64_t>(objects.size()), totalSize(objects)}));
  EXPECT_EQ(many, one);
  expectHydrated(parallel.path(), objects);
  // Nothing else: no temporary file is left beside any object.
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(parallel.path())) {
    files += entry.is_regular_file();
  }
  EXPECT_EQ(files, objects.size());
}

TEST(RepositoryObjectHydratorTests, ARerunKeepsBlobsOfTheListedSize) {
  TempDir source, destination;
  auto objects = sampleObjects();
  const std::string kept = "blobs/0b/0b" + std::string(62, '4');
  objects[kept] = patterned(500, 4);
  for (const auto& [key, content] : objects) writeText(source.path() / key, content);
  LocalRepositoryStorageBackend local(source.path());
  RepositoryObjectHydrator::hydrateRepository(local, destination.path());

  // As an interrupted run leaves it: one blob missing, one of another size. A blob of the
  // listed size is taken as complete (its key names its contents): a changed byte in one
  // shows that it was kept. The objects that change in place are always fetched again.
  const std::string missing = "blobs/0a/0a" + std::string(62, '1');
  const std::string shortened = "blobs/ff/ff" + std::string(62, '2');
  std::filesystem::remove(destination.path() / missing);
  std::filesystem::resize_file(destination.path() / shortened, 4096);
  for (const std::string& key : {kept, std::string("catalog.sqlite")}) {
    std::string changed = objects.at(key);
    changed[0] ^= 1;
    writeText(destination.path() / key, changed);
  }

  RecordingStorageBackend backend(local);
  auto summary = RepositoryObjectHydrator::hydrateRepository(backend, destination.path());
  EXPECT_EQ(summary, (RepositoryHydrationSummary{7, totalSize(objects)}));
  EXPECT_EQ(backend.sortedReads(),
            (std::set<std::string>{missing, shortened, "catalog.sqlite", "plans.json", "repo.json"}));
  std::string changedKept = objects.at(kept);
  changedKept[0] ^= 1;
  EXPECT_TRUE(readText(destination.path() / kept) == changedKept);
  objects.erase(kept);
  expectHydrated(destination.path(), objects);
}

TEST(RepositoryObjectHydratorTests, EmptyBackendGivesAnEmptyFolder) {
  TempDir source, destination;
  LocalRepositoryStorageBackend backend(source.path() / "absent");
  auto target = destination.path() / "out";
  EXPECT_EQ(RepositoryObjectHydrator::hydrateRepository(backend, target), (RepositoryHydrationSummary{0, 0}));
  EXPECT_TRUE(std::filesystem::is_directory(target));
  EXPECT_TRUE(std::filesystem::is_empty(target));

  // A file where the destination folder should be is passed on.
  writeText(destination.path() / "file", "x");
  EXPECT_THROW(RepositoryObjectHydrator::hydrateRepository(backend, destination.path() / "file"), PosixError);
}

TEST(RepositoryObjectHydratorTests, KeysThatWouldLeaveTheDestinationFail) {
  TempDir source, destination;
  writeText(source.path() / "a" / "b", "bytes");
  LocalRepositoryStorageBackend local(source.path());
  struct Case {
    const char* key;
    std::string message;
  };
  const Case cases[] = {
      {"a//b", "Repository object key escapes hydration root: a//b"},
      {"a/./b", "Repository object key escapes hydration root: a/./b"},
      {"a/", "Repository object key escapes hydration root: a/"},
      {"../x", "Invalid repository object key: ../x"},
      {"/etc/passwd", "Invalid repository object key: /etc/passwd"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    RecordingStorageBackend backend(local);
    backend.listing = std::vector<RepositoryObjectKey>{RepositoryObjectKey::unchecked(c.key)};
    try {
      RepositoryObjectHydrator::hydrateRepository(backend, destination.path());
      ADD_FAILURE() << "hydrated";
    } catch (const EngineError& error) {
      EXPECT_EQ(error.kind(), EngineError::Case::ioError);
      EXPECT_EQ(std::string(error.what()), c.message);
    }
    EXPECT_TRUE(backend.reads.empty());
  }
}

TEST(RepositoryObjectHydratorTests, APlantedSymbolicLinkCannotRedirectObjects) {
  TempDir source, destination, outside;
  auto objects = sampleObjects();
  for (const auto& [key, content] : objects) writeText(source.path() / key, content);
  LocalRepositoryStorageBackend local(source.path());

  struct Case {
    const char* name;
    std::filesystem::path link;  // relative to the destination
    std::string firstFailingKey;
  };
  const Case cases[] = {
      {"a shard folder", "blobs/ff", "blobs/ff/ff" + std::string(62, '2')},
      {"the blobs folder", "blobs", "blobs/0a/0a" + std::string(62, '1')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(destination.path() / "blobs");
    std::filesystem::create_directories((destination.path() / c.link).parent_path());
    std::filesystem::create_directory_symlink(outside.path(), destination.path() / c.link);
    RecordingStorageBackend backend(local);
    try {
      RepositoryObjectHydrator::hydrateRepository(backend, destination.path());
      ADD_FAILURE() << "hydrated through the link";
    } catch (const EngineError& error) {
      EXPECT_EQ(std::string(error.what()), "Repository object key escapes hydration root: " + c.firstFailingKey);
    }
    // Nothing, not even a folder, was made through the link.
    EXPECT_TRUE(std::filesystem::is_empty(outside.path()));
    EXPECT_TRUE(backend.reads.empty() || backend.reads.back() != c.firstFailingKey);
  }
}

TEST(RepositoryObjectHydratorTests, HydratesFromS3) {
  test::S3rverFixture server({"hydrate"});
  TempDir source, destination;
  auto objects = sampleObjects();
  objects["blobs/0a/name with spaces+plus"] = "odd key";
  for (const auto& [key, content] : objects) {
    writeText(source.path() / "file", content);
    server.client("hydrate", {"put", key, (source.path() / "file").string()});
  }
  auto backend = server.backend("hydrate");
  auto summary = RepositoryObjectHydrator::hydrateRepository(backend, destination.path());
  EXPECT_EQ(summary, (RepositoryHydrationSummary{7, totalSize(objects)}));
  expectHydrated(destination.path(), objects);
}

}  // namespace
}  // namespace tvr
