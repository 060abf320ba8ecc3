#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "engine/storage/RepositoryRestoreReader.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "tests/support/ErrorAssertions.h"
#include "tests/support/Files.h"
#include "tests/support/Fixtures.h"
#include "tests/support/RepositoryBuilder.h"
#include "tests/support/SnapshotPrinting.h"
#include "tests/support/TempDir.h"

namespace tvr {
namespace {

namespace fs = std::filesystem;
using test::iso;
using test::modificationTime;
using test::readText;
using test::TempDir;
using test::throwsError;
using test::writeText;

constexpr const char* kReader = "RepositoryRestoreReader";
constexpr const char* kCatalog = "BackupCatalog.SQLiteErrorDomain";
const PlanID kPlan("plan-1");

std::string patterned(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 31 + seed + (i >> 10)) & 0xFF);
  return bytes;
}

// A repository with one completed run (id 1) holding:
//   docs/ (mkdir), docs/report.txt, docs/big.bin (2 MiB + 3: three chunks),
//   notes.txt, and a later running run (id 2).
class ReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::RepositoryEventBuilder builder(repository());
    run_ = builder.beginRun(kPlan);
    builder.addDirectory(kPlan, run_, "docs", iso("2026-01-01T00:00:00Z"));
    reportKey_ = builder.addFile(kPlan, run_, "docs/report.txt", "quarterly numbers\n", iso("2026-01-02T03:04:05Z"),
                                 iso("2026-01-01T01:00:00Z"));
    bigKey_ = builder.addFile(kPlan, run_, "docs/big.bin", patterned(2 * 1048576 + 3, 7), iso("2026-01-03T00:00:00Z"));
    builder.addFile(kPlan, run_, "notes.txt", "remember the milk\n", iso("2026-01-04T00:00:00Z"));
    builder.finishRun(run_);
    runningRun_ = builder.beginRun(kPlan);
    blobPath_ = [root = repository()](const std::string& key) { return root / "blobs" / key.substr(0, 2) / key; };
  }

  fs::path repository() const { return scratch_.path() / "repository"; }
  fs::path out(const std::string& name) const { return scratch_.path() / "out" / name; }
  RepositoryRestoreReader reader() const { return RepositoryRestoreReader(repository(), test::testKeyMaterial()); }

  TempDir scratch_;
  std::int64_t run_ = 0;
  std::int64_t runningRun_ = 0;
  std::string reportKey_;
  std::string bigKey_;
  std::function<fs::path(const std::string&)> blobPath_;
};

TEST_F(ReaderTest, RestoresAMultiChunkFileByteExactWithItsModificationDate) {
  reader().restoreFile(kPlan, run_, "docs/big.bin", out("nested/dir/big.bin"), false);
  EXPECT_EQ(readText(out("nested/dir/big.bin")), patterned(2 * 1048576 + 3, 7));
  EXPECT_EQ(modificationTime(out("nested/dir/big.bin")), static_cast<long long>(iso("2026-01-03T00:00:00Z")));
  EXPECT_EQ(test::temporaryFilesBelow(out("")), std::vector<std::string>{});
  // Leading and trailing slashes name the same file.
  reader().restoreFile(kPlan, run_, "/docs/report.txt/", out("report.txt"), false);
  EXPECT_EQ(readText(out("report.txt")), "quarterly numbers\n");
}

TEST_F(ReaderTest, RefusesExistingDestinationsUnlessOverwriting) {
  writeText(out("existing.txt"), "mine");
  fs::create_directories(out("empty-directory"));
  fs::create_symlink(scratch_.path() / "nowhere", out("dangling-link"));
  for (const char* name : {"existing.txt", "empty-directory", "dangling-link"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(throwsError([&] { reader().restoreFile(kPlan, run_, "notes.txt", out(name), false); },
                            {kReader, 1, "Refusing to overwrite existing destination: " + out(name).string() + "."}));
  }
  EXPECT_EQ(readText(out("existing.txt")), "mine");
  EXPECT_FALSE(fs::exists(scratch_.path() / "nowhere"));

  reader().restoreFile(kPlan, run_, "docs/report.txt", out("existing.txt"), true);
  EXPECT_EQ(readText(out("existing.txt")), "quarterly numbers\n");
  EXPECT_EQ(modificationTime(out("existing.txt")), static_cast<long long>(iso("2026-01-02T03:04:05Z")));
  // Overwriting a link replaces the link itself; its target is never written.
  reader().restoreFile(kPlan, run_, "notes.txt", out("dangling-link"), true);
  EXPECT_FALSE(fs::is_symlink(out("dangling-link")));
  EXPECT_EQ(readText(out("dangling-link")), "remember the milk\n");
  EXPECT_FALSE(fs::exists(scratch_.path() / "nowhere"));
}

TEST_F(ReaderTest, LookupFailures) {
  const std::string noKey = "Repository is encrypted and requires repository key material.";
  const RepositoryRestoreReader keyless(repository(), std::nullopt);
  EXPECT_TRUE(
      throwsError([&] { keyless.restoreFile(kPlan, run_, "notes.txt", out("n"), false); }, {kReader, 1, noKey}));
  EXPECT_TRUE(throwsError([&] { keyless.fileData(kPlan, run_, "notes.txt", 100); }, {kReader, 1, noKey}));
  EXPECT_TRUE(throwsError([&] { keyless.listChildren(kPlan, run_, std::nullopt); },
                          {kCatalog, 1, "Repository names are encrypted and require repository key material."}));

  EXPECT_TRUE(throwsError([&] { reader().restoreFile(kPlan, run_, "missing.txt", out("m"), false); },
                          {kReader, 1, "No file at missing.txt in run 1"}));
  EXPECT_TRUE(throwsError([&] { reader().restoreFile(kPlan, run_, "docs", out("d"), false); },
                          {kReader, 1, "No file at docs in run 1"}));
  EXPECT_TRUE(
      throwsError([&] { reader().fileData(kPlan, run_, "docs", 100); }, {kReader, 1, "File docs has no blob key"}));
  EXPECT_FALSE(fs::exists(out("m")));
  EXPECT_FALSE(fs::exists(out("d")));

  const std::string notRestorable = "Run 2 is running and cannot be used for restore.";
  EXPECT_TRUE(throwsError([&] { reader().restoreFile(kPlan, runningRun_, "notes.txt", out("r"), false); },
                          {kCatalog, 1, notRestorable}));
  EXPECT_TRUE(
      throwsError([&] { reader().listChildren(kPlan, runningRun_, std::nullopt); }, {kCatalog, 1, notRestorable}));
  EXPECT_TRUE(
      throwsError([&] { reader().fileData(kPlan, runningRun_, "notes.txt", 100); }, {kCatalog, 1, notRestorable}));
  EXPECT_TRUE(
      throwsError([&] { reader().exportRun(kPlan, runningRun_, out("export"), false); }, {kCatalog, 1, notRestorable}));
  EXPECT_TRUE(throwsError([&] { reader().allFiles(kPlan, 9, std::nullopt); },
                          {kCatalog, 1, "No run 9 found for plan plan-1."}));
  EXPECT_EQ(reader().listRuns(kPlan).size(), 1u);

  // With a checkpoint the index knows files only, so a directory's path is no file at all.
  {
    BackupCatalog catalog(repository(), test::testKeyMaterial(), BackupCatalog::OpenMode::readWrite);
    catalog.writeSnapshotCheckpoint(kPlan, run_);
  }
  EXPECT_TRUE(
      throwsError([&] { reader().fileData(kPlan, run_, "docs", 100); }, {kReader, 1, "No file at docs in run 1"}));
  EXPECT_TRUE(throwsError([&] { reader().restoreFile(kPlan, run_, "docs", out("d"), false); },
                          {kReader, 1, "No file at docs in run 1"}));
}

TEST_F(ReaderTest, InMemoryLimitIsCheckedBeforeAnyBlobIsRead) {
  const std::string content = "quarterly numbers\n";
  EXPECT_EQ(stringOf(reader().fileData(kPlan, run_, "docs/report.txt", content.size())), content);
  fs::remove(blobPath_(reportKey_));  // a read would now fail with a file error
  EXPECT_TRUE(
      throwsError([&] { reader().fileData(kPlan, run_, "docs/report.txt", content.size() - 1); },
                  {kReader, 1, "File docs/report.txt is too large for in-memory restore; use restoreFile instead."}));
}

TEST_F(ReaderTest, DamagedBlobFailsAsUnrecoverableContentAndLeavesNoFile) {
  const fs::path blob = blobPath_(bigKey_);
  const auto size = fs::file_size(blob);
  struct Case {
    const char* name;
    std::function<void()> damage;
    const char* message;  // the reason, as the codec or the content check gives it
  };
  const Case cases[] = {
      {"truncated inside the second chunk", [&] { fs::resize_file(blob, size - 1000); },
       "Unexpected end of encrypted blob."},
      {"one flipped byte in the first chunk",
       [&] {
         std::fstream file(blob, std::ios::in | std::ios::out | std::ios::binary);
         file.seekg(100);
         char byte = 0;
         file.read(&byte, 1);
         byte = static_cast<char>(byte ^ 0x01);
         file.seekp(100);
         file.write(&byte, 1);
       },
       "AES-GCM authentication failed."},
  };
  const std::string original = readText(blob);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    { std::ofstream(blob, std::ios::binary | std::ios::trunc) << original; }
    c.damage();
    EXPECT_TRUE(throwsError([&] { reader().restoreFile(kPlan, run_, "docs/big.bin", out("fresh.bin"), false); },
                            {kReader, RepositoryRestoreReader::unrecoverableContentCode, c.message}));
    EXPECT_FALSE(fs::exists(out("fresh.bin")));
    writeText(out("kept.bin"), "previous");
    EXPECT_THROW(reader().restoreFile(kPlan, run_, "docs/big.bin", out("kept.bin"), true), Error);
    EXPECT_EQ(readText(out("kept.bin")), "previous");
    EXPECT_EQ(test::temporaryFilesBelow(out("")), std::vector<std::string>{});
  }
}

TEST_F(ReaderTest, ExportsAWholeRun) {
  reader().exportRun(kPlan, run_, out("export"), false);
  EXPECT_EQ(test::treeListing(out("export")),
            (std::vector<std::string>{"docs/", "docs/big.bin", "docs/report.txt", "notes.txt"}));
  EXPECT_EQ(readText(out("export/docs/report.txt")), "quarterly numbers\n");
  EXPECT_EQ(readText(out("export/docs/big.bin")), patterned(2 * 1048576 + 3, 7));
  EXPECT_EQ(modificationTime(out("export/notes.txt")), static_cast<long long>(iso("2026-01-04T00:00:00Z")));
  EXPECT_EQ(modificationTime(out("export/docs/report.txt")), static_cast<long long>(iso("2026-01-02T03:04:05Z")));
}

TEST_F(ReaderTest, ExportDestinationChecks) {
  fs::create_directories(out("empty"));
  reader().exportRun(kPlan, run_, out("empty"), false);  // an existing empty directory is fine
  EXPECT_EQ(readText(out("empty/notes.txt")), "remember the milk\n");

  writeText(out("hidden/.DS_Store"), "x");
  writeText(out("file"), "x");
  EXPECT_TRUE(
      throwsError([&] { reader().exportRun(kPlan, run_, out("hidden"), false); },
                  {kReader, 1, "Refusing to export into non-empty destination: " + out("hidden").string() + "."}));
  EXPECT_TRUE(throwsError([&] { reader().exportRun(kPlan, run_, out("file"), false); },
                          {kReader, 1, "Refusing to export into existing file: " + out("file").string() + "."}));
  EXPECT_EQ(test::treeListing(out("hidden")), std::vector<std::string>{".DS_Store"});

  // With overwrite the export merges: matching files are replaced, others stay.
  writeText(out("hidden/notes.txt"), "stale");
  reader().exportRun(kPlan, run_, out("hidden"), true);
  EXPECT_EQ(readText(out("hidden/notes.txt")), "remember the milk\n");
  EXPECT_EQ(readText(out("hidden/.DS_Store")), "x");
  // A second export into the now filled directory needs overwrite again.
  EXPECT_TRUE(
      throwsError([&] { reader().exportRun(kPlan, run_, out("empty"), false); },
                  {kReader, 1, "Refusing to export into non-empty destination: " + out("empty").string() + "."}));
}

TEST(ConfinedExportDestination, RejectsPathsThatLeaveTheRoot) {
  TempDir scratch;
  const fs::path root = scratch.path() / "root";
  fs::create_directories(root);
  const std::string nul("a\0b", 3);
  const std::vector<std::string> escaping = {"/etc/passwd", "",     "/",    "//",        "a//b", "./a",
                                             "a/.",         "a/..", "../x", "a/../../x", "..",   nul};
  for (const std::string& relative : escaping) {
    SCOPED_TRACE(relative);
    EXPECT_TRUE(throwsError([&] { RepositoryRestoreReader::confinedExportDestination(root, relative); },
                            {kReader, 1, "Repository export path escapes destination: " + relative}));
  }
  EXPECT_EQ(RepositoryRestoreReader::confinedExportDestination(root, "a/b c/d.txt/"), root / "a" / "b c" / "d.txt");
  EXPECT_EQ(RepositoryRestoreReader::confinedExportDestination(root, "..hidden"), root / "..hidden");

  // Links are followed when checking: inside the root they are fine, outside they are not,
  // also when they dangle or sit higher up the path.
  const fs::path outside = scratch.path() / "outside";
  fs::create_directories(outside);
  fs::create_directories(root / "real");
  fs::create_symlink(root / "real", root / "inner-link");
  fs::create_symlink(outside, root / "outer-link");
  fs::create_symlink(outside / "not-yet", root / "dangling-outer");
  fs::create_symlink("../outside", root / "relative-outer");
  EXPECT_EQ(RepositoryRestoreReader::confinedExportDestination(root, "inner-link/x"), root / "inner-link" / "x");
  for (const std::string& relative : std::vector<std::string>{"outer-link", "outer-link/x", "outer-link/deeper/x",
                                                              "dangling-outer", "relative-outer/x"}) {
    SCOPED_TRACE(relative);
    EXPECT_TRUE(throwsError([&] { RepositoryRestoreReader::confinedExportDestination(root, relative); },
                            {kReader, 1, "Repository export path escapes destination: " + relative}));
  }
  // A root reached through a link is resolved the same way.
  fs::create_symlink(root, scratch.path() / "root-link");
  EXPECT_EQ(RepositoryRestoreReader::confinedExportDestination(scratch.path() / "root-link", "inner-link/x"),
            scratch.path() / "root-link" / "inner-link" / "x");
}

TEST_F(ReaderTest, ExportNeverWritesThroughLinksPlantedInTheDestination) {
  const fs::path outside = scratch_.path() / "outside";
  fs::create_directories(outside);
  writeText(outside / "notes.txt", "outside file");
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> plant;
    const char* escapingPath;
  };
  const Case cases[] = {
      {"directory link", [&](const fs::path& d) { fs::create_directory_symlink(outside, d / "docs"); }, "docs"},
      {"file link", [&](const fs::path& d) { fs::create_symlink(outside / "notes.txt", d / "notes.txt"); },
       "notes.txt"},
      {"dangling file link", [&](const fs::path& d) { fs::create_symlink(outside / "fresh", d / "notes.txt"); },
       "notes.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path destination = out(c.name);
    fs::create_directories(destination);
    c.plant(destination);
    EXPECT_TRUE(
        throwsError([&] { reader().exportRun(kPlan, run_, destination, true); },
                    {kReader, 1, std::string("Repository export path escapes destination: ") + c.escapingPath}));
    EXPECT_EQ(test::treeListing(outside), std::vector<std::string>{"notes.txt"});
    EXPECT_EQ(readText(outside / "notes.txt"), "outside file");
  }
}

TEST(RepositoryRestoreReaderExport, StopsAtADisplayPathWithDotDotBeforeWritingIt) {
  TempDir scratch;
  const fs::path repository = scratch.path() / "repository";
  {
    test::RepositoryEventBuilder builder(repository);
    const auto run = builder.beginRun(kPlan);
    builder.addFile(kPlan, run, "fine.txt", "fine", iso("2026-01-01T00:00:00Z"));
    // Same number of components in both paths, so the display path is the one used.
    builder.addFile(kPlan, run, "../../evil.txt", "evil", iso("2026-01-01T00:00:00Z"), std::nullopt,
                    std::string("a/b/evil.txt"));
    builder.finishRun(run);
  }
  const fs::path destination = scratch.path() / "deep" / "export";
  EXPECT_TRUE(throwsError(
      [&] { RepositoryRestoreReader(repository, test::testKeyMaterial()).exportRun(kPlan, 1, destination, false); },
      {kReader, 1, "Repository export path escapes destination: .."}));
  EXPECT_FALSE(fs::exists(scratch.path() / "evil.txt"));
  EXPECT_FALSE(fs::exists(scratch.path() / "deep" / "evil.txt"));
  EXPECT_EQ(test::treeListing(destination), std::vector<std::string>{});  // directories come first
}

}  // namespace
}  // namespace tvr
