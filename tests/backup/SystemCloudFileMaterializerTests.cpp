#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "engine/backup/SystemCloudFileMaterializer.h"
#include "tests/support/TempDir.h"

namespace tvr {
namespace {

namespace fs = std::filesystem;
using Stage = CloudFileMaterializationProgress::Stage;

const SystemCloudFileResourceValues kNotDownloaded{true, kUbiquitousItemDownloadingStatusNotDownloaded};
const SystemCloudFileResourceValues kDownloaded{true, kUbiquitousItemDownloadingStatusDownloaded};
const SystemCloudFileResourceValues kLocal{false, std::nullopt};

// A materializer on a fake clock: `sleep` advances the clock instead of waiting, and the
// resource values come from a script whose last entry repeats.
struct Harness {
  double clock = 1000;
  int sleeps = 0;
  int queries = 0;
  int downloadRequests = 0;
  std::vector<SystemCloudFileResourceValues> script;
  std::vector<CloudFileMaterializationProgress> progress;
  SystemCloudFileMaterializer materializer;

  explicit Harness(std::vector<SystemCloudFileResourceValues> values) : script(std::move(values)) {
    materializer.now = [this] { return clock; };
    materializer.sleep = [this](double seconds) {
      ++sleeps;
      clock += seconds;
    };
    materializer.startDownloading = [this](const fs::path& url) {
      EXPECT_EQ(url, "/cloud/file.txt");
      EXPECT_EQ(queries, 0) << "status queried before the download was requested";
      ++downloadRequests;
    };
    materializer.resourceValues = [this](const fs::path&) {
      std::size_t index = std::min<std::size_t>(static_cast<std::size_t>(queries), script.size() - 1);
      ++queries;
      return script[index];
    };
  }

  void materialize() {
    materializer.materialize("/cloud/file.txt",
                             [this](const CloudFileMaterializationProgress& p) { progress.push_back(p); });
  }
};

TEST(SystemCloudFileMaterializer, FilePresentOnDiskFinishesAfterOneQuery) {
  for (const SystemCloudFileResourceValues& values :
       {kLocal, kDownloaded, SystemCloudFileResourceValues{true, std::nullopt},
        SystemCloudFileResourceValues{true, kUbiquitousItemDownloadingStatusCurrent},
        SystemCloudFileResourceValues{false, kUbiquitousItemDownloadingStatusNotDownloaded}}) {
    SCOPED_TRACE(values.downloadingStatus.value_or("no status"));
    Harness h({values});
    h.materialize();
    EXPECT_EQ(h.progress, (std::vector<CloudFileMaterializationProgress>{{Stage::requested, 0}, {Stage::finished, 0}}));
    EXPECT_EQ(h.queries, 1);
    EXPECT_EQ(h.sleeps, 0);
    EXPECT_EQ(h.downloadRequests, 1);
  }
}

TEST(SystemCloudFileMaterializer, PollsUntilTheContentsArrive) {
  Harness h({kNotDownloaded, kNotDownloaded, kNotDownloaded, kDownloaded});
  h.materializer.downloadPollInterval = 0.25;
  h.materialize();
  EXPECT_EQ(h.progress, (std::vector<CloudFileMaterializationProgress>{{Stage::requested, 0},
                                                                       {Stage::waiting, 0},
                                                                       {Stage::waiting, 0.25},
                                                                       {Stage::waiting, 0.5},
                                                                       {Stage::finished, 0.75}}));
  EXPECT_EQ(h.queries, 4);
  EXPECT_EQ(h.sleeps, 3);
}

TEST(SystemCloudFileMaterializer, TimesOutAtTheDeadline) {
  struct Case {
    double timeout;
    int expectedWaiting;
  };
  for (const Case& c : {Case{0, 1}, Case{2, 5}, Case{1.4, 4}}) {
    SCOPED_TRACE(c.timeout);
    Harness h({kNotDownloaded});
    h.materializer.downloadTimeout = c.timeout;
    try {
      h.materialize();
      FAIL() << "no time-out";
    } catch (const CloudFileMaterializationError& e) {
      EXPECT_EQ(e.kind(), CloudFileMaterializationError::Case::downloadTimedOut);
      EXPECT_EQ(e.domain(), "CloudFileMaterializationError");
      EXPECT_EQ(e.code(), 1);
      EXPECT_STREQ(e.what(), "Timed out while downloading cloud-only file contents: /cloud/file.txt");
      EXPECT_EQ(e.path(), "/cloud/file.txt");
    }
    int waiting = 0;
    for (const auto& p : h.progress) waiting += p.stage == Stage::waiting;
    EXPECT_EQ(waiting, c.expectedWaiting);
    EXPECT_EQ(h.progress.back().stage, Stage::waiting);
    EXPECT_EQ(h.sleeps, c.expectedWaiting - 1);
  }
}

TEST(SystemCloudFileMaterializer, WorksWithoutAProgressHandler) {
  Harness h({kNotDownloaded, kDownloaded});
  h.materializer.materialize("/cloud/file.txt");
  EXPECT_EQ(h.queries, 2);
}

TEST(SystemCloudFileMaterializer, ErrorsOfTheSystemCallsPassThrough) {
  {
    Harness h({kLocal});
    h.materializer.startDownloading = [](const fs::path&) { throw Error("NSCocoaErrorDomain", 4, "No such item."); };
    EXPECT_THROW(h.materialize(), Error);
    EXPECT_EQ(h.queries, 0);
  }
  {
    Harness h({kNotDownloaded});
    auto scripted = h.materializer.resourceValues;
    h.materializer.resourceValues = [&, scripted](const fs::path& url) {
      if (h.queries == 2) throw Error("NSCocoaErrorDomain", 256, "Status unavailable.");
      return scripted(url);
    };
    try {
      h.materialize();
      FAIL() << "error swallowed";
    } catch (const Error& e) {
      EXPECT_EQ(e.domain(), "NSCocoaErrorDomain");
      EXPECT_EQ(e.code(), 256);
    }
  }
}

TEST(SystemCloudFileMaterializer, StatusIsDatalessOnlyForUbiquitousNotDownloadedItems) {
  struct Case {
    SystemCloudFileResourceValues values;
    CloudFileStatus expected;
  };
  const Case cases[] = {
      {kLocal, {false, false}},
      {kNotDownloaded, {true, true}},
      {kDownloaded, {true, false}},
      {{true, kUbiquitousItemDownloadingStatusCurrent}, {true, false}},
      {{true, std::nullopt}, {true, false}},
      {{false, kUbiquitousItemDownloadingStatusNotDownloaded}, {false, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.values.downloadingStatus.value_or("no status"));
    Harness h({c.values});
    EXPECT_EQ(h.materializer.status("/cloud/file.txt"), c.expected);
    EXPECT_EQ(h.queries, 1);
  }
}

TEST(SystemCloudFileMaterializer, DefaultsSeeNoCloudStorageOnThisSystem) {
  test::TempDir temp;
  const fs::path dir = temp.path();
  const fs::path file = dir / "f.txt";
  std::ofstream(file) << "x";
  SystemCloudFileMaterializer materializer;
  EXPECT_EQ(materializer.downloadPollInterval, 0.5);
  EXPECT_EQ(materializer.downloadTimeout, 43200);
  EXPECT_EQ(materializer.status(file), (CloudFileStatus{false, false}));
  std::vector<Stage> stages;
  materializer.materialize(file, [&](const CloudFileMaterializationProgress& p) { stages.push_back(p.stage); });
  EXPECT_EQ(stages, (std::vector<Stage>{Stage::requested, Stage::finished}));
  materializer.evict(file);
  EXPECT_TRUE(fs::exists(file));
  try {
    materializer.status(dir / "missing");
    FAIL() << "a missing file had a status";
  } catch (const Error& e) {
    EXPECT_EQ(e.domain(), "NSPOSIXErrorDomain");
    EXPECT_EQ(e.code(), ENOENT);
  }
}

TEST(CloudFileMaterializationError, DatalessFileMessageNamesThePath) {
  CloudFileMaterializationError e = CloudFileMaterializationError::datalessFileRequiresPolicy("/src/a b.txt");
  EXPECT_STREQ(e.what(), "Cloud-only file contents are not present on disk: /src/a b.txt");
  EXPECT_EQ(e.code(), 0);
  EXPECT_EQ(e.kind(), CloudFileMaterializationError::Case::datalessFileRequiresPolicy);
  EXPECT_STREQ(cloudFileMaterializationStageName(Stage::waiting), "waiting");
}

}  // namespace
}  // namespace tvr
