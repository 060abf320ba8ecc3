#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <map>

#include "engine/storage/RepositoryRestoreReader.h"
#include "platform/Error.h"
#include "tests/support/ErrorAssertions.h"
#include "tests/support/Files.h"
#include "tests/support/Fixtures.h"
#include "tests/support/RepositoryBuilder.h"
#include "tests/support/TempDir.h"

namespace tvr {
namespace {

namespace fs = std::filesystem;
using test::iso;
using test::readText;
using test::TempDir;
using test::temporaryFilesBelow;

const PlanID kPlan("plan-1");
constexpr std::size_t MiB = 1048576;

std::string patterned(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 31 + seed + (i >> 10)) & 0xFF);
  return bytes;
}

// Every regular file below root: relative path -> (content, modification time in ns).
std::map<std::string, std::pair<std::string, long long>> filesBelow(const fs::path& root) {
  std::map<std::string, std::pair<std::string, long long>> files;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    if (!item.is_regular_file()) continue;
    struct stat status {};
    ::stat(item.path().c_str(), &status);
    files[fs::relative(item.path(), root).string()] = {
        readText(item.path()), static_cast<long long>(status.st_mtim.tv_sec) * 1000000000LL + status.st_mtim.tv_nsec};
  }
  return files;
}

// The content of file i of the fixture: shared between files (one blob for several),
// empty, exactly one chunk (also shared), small, several chunks, or its own short text.
std::string contentOf(int i) {
  switch (i % 6) {
    case 0: return "shared content";
    case 1: return "";
    case 2: return patterned(MiB, 2);
    case 3: return patterned(100 + i * 37, i);
    case 4: return i % 24 == 4 ? patterned(2 * MiB + 5 + i, i) : patterned(3000 + i, i);
    default: return "file " + std::to_string(i);
  }
}

// One run of 150 files in folders three levels deep, with dates carrying fractions of a
// second.
class ParallelExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::RepositoryEventBuilder builder(repository());
    run_ = builder.beginRun(kPlan);
    for (const char* folder : {"a", "a/b", "a/b/c", "d", "e"}) builder.addDirectory(kPlan, run_, folder, 1.7e9);
    const char* folders[] = {"", "a/", "a/b/", "a/b/c/", "d/"};
    for (int i = 0; i < 150; ++i) {
      const std::string path = std::string(folders[i % 5]) + "file" + std::to_string(i) + ".bin";
      keys_.push_back(builder.addFile(kPlan, run_, path, contentOf(i), 1.7e9 + i * 1000.25, std::nullopt));
      indexOf_[path] = i;
    }
    builder.finishRun(run_);
    for (const SnapshotEntry& file : reader(1).allFiles(kPlan, run_, std::nullopt)) walkOrder_.push_back(file.relPath);
  }

  fs::path repository() const { return scratch_.path() / "repository"; }
  fs::path out(const std::string& name) const { return scratch_.path() / "out" / name; }
  fs::path blobPath(const std::string& key) const { return repository() / "blobs" / key.substr(0, 2) / key; }
  RepositoryRestoreReader reader(unsigned workers) const {
    RepositoryRestoreReader reader(repository(), test::testKeyMaterial());
    reader.setWorkerCount(workers);
    return reader;
  }

  TempDir scratch_;
  std::int64_t run_ = 0;
  std::vector<std::string> keys_;
  std::map<std::string, int> indexOf_;
  std::vector<std::string> walkOrder_;  // file paths in export order
};

TEST_F(ParallelExportTest, SameFilesAndDatesAsTheSerialExport) {
  EXPECT_TRUE(reader(1).exportRun(kPlan, run_, out("serial"), false).isComplete());
  const auto serial = filesBelow(out("serial"));
  ASSERT_EQ(serial.size(), 150u);
  for (const auto& [path, file] : serial) EXPECT_EQ(file.first, contentOf(indexOf_.at(path))) << path;
  for (unsigned workers : {2u, 4u, 8u}) {
    SCOPED_TRACE(workers);
    const fs::path target = out("parallel-" + std::to_string(workers));
    EXPECT_TRUE(reader(workers).exportRun(kPlan, run_, target, false).isComplete());
    EXPECT_EQ(filesBelow(target), serial);
    EXPECT_EQ(test::treeListing(target), test::treeListing(out("serial")));
  }
}

TEST_F(ParallelExportTest, DamagedFilesAreReportedInWalkOrder) {
  // Damage spread over the walk, each blob used by one file only: a missing small blob, a
  // flipped byte in the second chunk of a large one, a blob cut short, and a blob holding
  // another file's content.
  fs::remove(blobPath(keys_[3]));
  {
    std::fstream file(blobPath(keys_[28]), std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(fs::file_size(blobPath(keys_[28])) - 200));
    file.put('\x55');
  }
  fs::resize_file(blobPath(keys_[147]), fs::file_size(blobPath(keys_[147])) - 3);
  fs::copy_file(blobPath(keys_[9]), blobPath(keys_[15]), fs::copy_options::overwrite_existing);

  const ExportReport serial = reader(1).exportRun(kPlan, run_, out("serial"), false);
  ASSERT_EQ(serial.failures.size(), 4u);
  for (unsigned workers : {2u, 4u}) {
    SCOPED_TRACE(workers);
    const fs::path target = out("parallel-" + std::to_string(workers));
    const ExportReport parallel = reader(workers).exportRun(kPlan, run_, target, false);
    EXPECT_EQ(parallel.failures, serial.failures);
    EXPECT_EQ(filesBelow(target), filesBelow(out("serial")));
    EXPECT_EQ(temporaryFilesBelow(target), std::vector<std::string>{});
  }
}

// A destination error (a folder where a file goes, with overwrite) stops the export with
// the serial export's error, for a file restored by the pool and for one of several chunks
// restored on all cores. Every file before it is written, few after it, none partially.
TEST_F(ParallelExportTest, AnErrorInOneWorkerStopsTheExportCleanly) {
  std::size_t largeAt = 30;
  while (indexOf_.at(walkOrder_[largeAt]) % 24 != 4) ++largeAt;
  for (std::size_t failing : {std::size_t{20}, largeAt}) {
    SCOPED_TRACE(walkOrder_[failing]);
    const std::string name = std::to_string(failing);
    auto prepare = [&](const fs::path& target) {
      fs::create_directories(target / walkOrder_[failing] / "occupied");
      return target;
    };
    // The message names the destination, which differs between the runs.
    auto messageOf = [](const Error& error, const fs::path& target) {
      std::string message = error.what();
      for (std::size_t at; (at = message.find(target.string())) != std::string::npos;) {
        message.replace(at, target.string().size(), "<destination>");
      }
      return message;
    };
    std::string serialMessage;
    try {
      reader(1).exportRun(kPlan, run_, prepare(out("serial" + name)), true);
      ADD_FAILURE() << "the serial export did not fail";
    } catch (const Error& error) {
      serialMessage = messageOf(error, out("serial" + name));
    }
    EXPECT_NE(serialMessage.find("rename"), std::string::npos) << serialMessage;
    for (unsigned workers : {2u, 4u}) {
      SCOPED_TRACE(workers);
      const fs::path target = prepare(out("parallel" + name + "-" + std::to_string(workers)));
      try {
        reader(workers).exportRun(kPlan, run_, target, true);
        ADD_FAILURE() << "the parallel export did not fail";
      } catch (const Error& error) {
        EXPECT_EQ(messageOf(error, target), serialMessage);
      }
      EXPECT_EQ(temporaryFilesBelow(target), std::vector<std::string>{});
      const auto written = filesBelow(target);
      std::size_t later = 0;
      for (std::size_t at = 0; at < walkOrder_.size(); ++at) {
        const auto found = written.find(walkOrder_[at]);
        if (at < failing) {
          EXPECT_NE(found, written.end()) << walkOrder_[at];
        }
        if (found == written.end()) continue;
        EXPECT_EQ(found->second.first, contentOf(indexOf_.at(walkOrder_[at]))) << walkOrder_[at];
        if (at > failing) ++later;
      }
      EXPECT_LT(later, (walkOrder_.size() - failing) / 2);
    }
  }
}

}  // namespace
}  // namespace tvr
