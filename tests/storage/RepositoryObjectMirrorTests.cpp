#include <gtest/gtest.h>

#include <fstream>

#include "engine/storage/LocalRepositoryStorageBackend.h"
#include "engine/storage/RepositoryObjectHydrator.h"
#include "engine/storage/RepositoryObjectMirror.h"
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
using Kind = RepositoryObjectWriteMode::Kind;

const std::string kBlobA = "blobs/0a/0a" + std::string(62, '1');
const std::string kBlobB = "blobs/ff/ff" + std::string(62, '2');

void writeRepository(const std::filesystem::path& root) {
  writeText(root / "repo.json", "{\"formatVersion\":1}");
  writeText(root / "plans.json", "{\"plans\":[]}");
  writeText(root / "catalog.sqlite", std::string(5000, 'c'));
  writeText(root / kBlobA, "blob a");
  std::string big(9 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i % 253);
  writeText(root / kBlobB, big);
  // Leftovers of interrupted atomic writes are not objects.
  writeText(root / "blobs" / "ff" / ".ff.tmp-1F2E", "partial");
  writeText(root / "blobs" / ".hidden" / "x", "hidden");
}

std::vector<std::string> hiddenFilesUnder(const std::filesystem::path& root) {
  std::vector<std::string> out;
  for (auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    std::string name = entry.path().filename().string();
    if (name.rfind(".mirror-verify-", 0) == 0) out.push_back(name);
  }
  return out;
}

TEST(RepositoryObjectMirrorTests, OnlyMetadata) {
  TempDir local, remote;
  writeText(local.path() / "repo.json", "{}");
  LocalRepositoryStorageBackend target(remote.path());
  RecordingStorageBackend backend(target);
  EXPECT_EQ(RepositoryObjectMirror::mirrorLocalRepository(local.path(), backend),
            (RepositoryMirrorSummary{1, 1, 0, 2}));
  ASSERT_EQ(backend.writes.size(), 1u);
  EXPECT_EQ(backend.writes[0].first, "repo.json");
  EXPECT_EQ(backend.writes[0].second, RepositoryObjectWriteMode::replace());

  TempDir empty;
  EXPECT_EQ(RepositoryObjectMirror::mirrorLocalRepository(empty.path(), backend),
            (RepositoryMirrorSummary{0, 0, 0, 0}));
}

TEST(RepositoryObjectMirrorTests, SecondRunSkipsAndVerifiesBlobs) {
  TempDir local, remote;
  writeRepository(local.path());
  LocalRepositoryStorageBackend target(remote.path());
  RecordingStorageBackend backend(target);
  std::int64_t total = 19 + 12 + 5000 + 6 + 9 * 1024 * 1024;
  EXPECT_EQ(RepositoryObjectMirror::mirrorLocalRepository(local.path(), backend),
            (RepositoryMirrorSummary{5, 5, 0, total}));
  std::vector<std::string> order;
  for (const auto& [key, mode] : backend.writes) order.push_back(key);
  EXPECT_EQ(order, (std::vector<std::string>{kBlobA, kBlobB, "catalog.sqlite", "plans.json", "repo.json"}));
  EXPECT_EQ(backend.writes[0].second, RepositoryObjectWriteMode::createIfAbsent(6));
  EXPECT_EQ(backend.writes[1].second, RepositoryObjectWriteMode::createIfAbsent(9 * 1024 * 1024));
  EXPECT_EQ(backend.writes[2].second.kind, Kind::replace);
  EXPECT_FALSE(std::filesystem::exists(remote.path() / "blobs" / "ff" / ".ff.tmp-1F2E"));
  EXPECT_FALSE(std::filesystem::exists(remote.path() / "blobs" / ".hidden"));
  EXPECT_TRUE(backend.reads.empty());

  backend.writes.clear();
  EXPECT_EQ(RepositoryObjectMirror::mirrorLocalRepository(local.path(), backend),
            (RepositoryMirrorSummary{5, 3, 2, 19 + 12 + 5000}));
  EXPECT_EQ(backend.reads, (std::vector<std::string>{kBlobA, kBlobB}));
  EXPECT_TRUE(hiddenFilesUnder(local.path()).empty());
}

TEST(RepositoryObjectMirrorTests, ARemoteBlobWithOtherBytesFails) {
  TempDir local, remote;
  writeRepository(local.path());
  writeText(remote.path() / kBlobA, "blob b");  // same size, other content
  LocalRepositoryStorageBackend backend(remote.path());
  try {
    RepositoryObjectMirror::mirrorLocalRepository(local.path(), backend);
    ADD_FAILURE() << "mirrored";
  } catch (const EngineError& error) {
    EXPECT_EQ(std::string(error.what()),
              "Existing remote object " + kBlobA + " does not match local repository content.");
  }
  EXPECT_TRUE(hiddenFilesUnder(local.path()).empty());
  EXPECT_EQ(readText(remote.path() / kBlobA), "blob b");
  EXPECT_FALSE(std::filesystem::exists(remote.path() / "repo.json"));  // the mirror stopped there

  // A remote blob of another size is refused by the size check, before any download.
  writeText(remote.path() / kBlobA, "other size");
  RecordingStorageBackend recording(backend);
  EXPECT_THROW(RepositoryObjectMirror::mirrorLocalRepository(local.path(), recording), EngineError);
  EXPECT_TRUE(recording.reads.empty());
}

TEST(RepositoryObjectMirrorTests, BlobsOutsideTheRootAndCancellation) {
  TempDir local, remote, outside;
  writeRepository(local.path());
  writeText(outside.path() / "stray", "outside");
  std::filesystem::create_symlink(outside.path() / "stray", local.path() / "blobs" / "0a" / "link");
  LocalRepositoryStorageBackend target(remote.path());
  try {
    RepositoryObjectMirror::mirrorLocalRepository(local.path(), target);
    ADD_FAILURE() << "mirrored a file outside the root";
  } catch (const EngineError& error) {
    std::string canonicalRoot = std::filesystem::canonical(local.path()).string();
    EXPECT_EQ(std::string(error.what()), "Path " + std::filesystem::canonical(outside.path() / "stray").string() +
                                             " is not under root " + canonicalRoot);
  }
  EXPECT_TRUE(std::filesystem::is_empty(remote.path()));
  std::filesystem::remove(local.path() / "blobs" / "0a" / "link");

  CancellationToken cancel;
  RecordingStorageBackend backend(target);
  backend.cancelAfterFirstWrite = &cancel;
  EXPECT_THROW(RepositoryObjectMirror::mirrorLocalRepository(local.path(), backend, cancel), CancellationError);
  EXPECT_EQ(backend.writes.size(), 1u);
}

TEST(RepositoryObjectMirrorTests, MirrorToS3AndHydrateBack) {
  test::S3rverFixture server({"mirror"});
  TempDir local, back;
  writeRepository(local.path());
  auto backend = server.backend("mirror");
  std::int64_t total = 19 + 12 + 5000 + 6 + 9 * 1024 * 1024;
  EXPECT_EQ(RepositoryObjectMirror::mirrorLocalRepository(local.path(), backend),
            (RepositoryMirrorSummary{5, 5, 0, total}));
  EXPECT_EQ(RepositoryObjectMirror::mirrorLocalRepository(local.path(), backend),
            (RepositoryMirrorSummary{5, 3, 2, 19 + 12 + 5000}));

  // A blob changed behind the mirror's back (same size) is caught by the byte comparison.
  writeText(local.path() / "tampered", "blob X");
  server.client("mirror", {"put", kBlobA, (local.path() / "tampered").string()});
  std::filesystem::remove(local.path() / "tampered");
  EXPECT_THROW(RepositoryObjectMirror::mirrorLocalRepository(local.path(), backend), EngineError);
  EXPECT_TRUE(hiddenFilesUnder(local.path()).empty());
  writeText(local.path() / "restore", "blob a");
  server.client("mirror", {"put", kBlobA, (local.path() / "restore").string()});
  std::filesystem::remove(local.path() / "restore");

  auto summary = RepositoryObjectHydrator::hydrateRepository(backend, back.path());
  EXPECT_EQ(summary, (RepositoryHydrationSummary{5, total}));
  for (const char* key : {"repo.json", "plans.json", "catalog.sqlite"}) {
    EXPECT_TRUE(readText(back.path() / key) == readText(local.path() / key)) << key;
  }
  for (const auto& key : {kBlobA, kBlobB}) {
    EXPECT_TRUE(readText(back.path() / key) == readText(local.path() / key)) << key;
  }
}

}  // namespace
}  // namespace tvr
