#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "engine/backup/APFSCloneSession.h"
#include "engine/backup/BackupFilesystem.h"
#include "platform/Error.h"
#include "tests/support/Files.h"
#include "tests/support/TempDir.h"

namespace tvr {
namespace {

namespace fs = std::filesystem;
using ItemType = DirectoryEnumerator::ItemType;

using test::readText;
using test::TempDir;
using test::writeText;

std::vector<fs::path> cloneFoldersIn(const fs::path& root) {
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(root)) {
    if (entry.path().filename().string().rfind(".TovarineClone-", 0) == 0) found.push_back(entry.path());
  }
  return found;
}

// A copier that writes the bytes instead of sharing extents, for file systems without reflinks.
std::int32_t copyBytes(const std::string& from, const std::string& to) {
  std::error_code ec;
  fs::copy_file(from, to, ec);
  if (ec) {
    errno = ec.value();
    return -1;
  }
  return 0;
}

// A synthetic tree of `count` regular files of `size` bytes each, behind a directory that
// must be skipped, for limit checks without making 200000 real files.
class SyntheticEnumerator : public DirectoryEnumerator {
 public:
  SyntheticEnumerator(std::vector<Item> items, int* skips, std::int64_t* served)
      : items_(std::move(items)), skips_(skips), served_(served) {}
  std::optional<Item> next() override {
    while (index_ < items_.size()) {
      const Item& item = items_[index_++];
      if (skipping_ && item.path.parent_path() == skipRoot_) continue;
      skipping_ = false;
      ++*served_;
      last_ = item;
      return item;
    }
    return std::nullopt;
  }
  void skipDescendants() override {
    ++*skips_;
    skipping_ = true;
    skipRoot_ = last_.path;
  }

 private:
  std::vector<Item> items_;
  std::size_t index_ = 0;
  int* skips_;
  std::int64_t* served_;
  bool skipping_ = false;
  fs::path skipRoot_;
  Item last_{};
};

TEST(BackupFilesystemPreflight, StopsAtTheFirstLimitCrossedAndSkipsEarlierClones) {
  const fs::path root = "/src";
  struct Case {
    const char* name;
    std::int64_t files;
    std::int64_t sizeEach;
    std::int64_t lastFileExtra;
    BackupFilesystem::CloneLimits expected;
    std::int64_t expectedServed;  // items the walk asked for before it stopped
  };
  const std::int64_t maxFiles = BackupFilesystem::kMaxCloneFiles;
  const std::int64_t maxBytes = BackupFilesystem::kMaxCloneBytes;
  const Case cases[] = {
      {"exactly at both limits", maxFiles, 5000000, 0, {true, maxFiles, maxBytes}, maxFiles + 3},
      {"one file too many", maxFiles + 5, 0, 0, {false, maxFiles + 1, 0}, maxFiles + 4},
      {"one byte too many", 3, maxBytes / 2, 1, {false, 2, maxBytes + 1}, 5},
      {"empty tree", 0, 0, 0, {true, 0, 0}, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<DirectoryEnumerator::Item> items;
    // An old clone full of files, a directory and a link: none of them count.
    items.push_back({root / ".TovarineClone-OLD", ItemType::directory, 0});
    for (int i = 0; i < 3; ++i)
      items.push_back({root / ".TovarineClone-OLD" / std::to_string(i), ItemType::regularFile, maxBytes});
    items.push_back({root / "dir", ItemType::directory, 0});
    items.push_back({root / "link", ItemType::symbolicLink, 0});
    for (std::int64_t i = 0; i < c.files; ++i) {
      std::int64_t size = c.sizeEach + ((i == 1 && c.lastFileExtra) ? c.lastFileExtra : 0);
      items.push_back({root / "dir" / std::to_string(i), ItemType::regularFile, size});
    }
    int skips = 0;
    std::int64_t served = 0;
    auto factory = [&](const fs::path&, DirectoryEnumerator::ErrorHandler) -> std::unique_ptr<DirectoryEnumerator> {
      return std::make_unique<SyntheticEnumerator>(items, &skips, &served);
    };
    EXPECT_EQ(BackupFilesystem::preflightCloneLimits(root, factory), c.expected);
    EXPECT_EQ(skips, 1);
    EXPECT_EQ(served, c.expectedServed);
  }
}

TEST(BackupFilesystemPreflight, CountsRealFilesButNotLinksOrEarlierClones) {
  TempDir dir;
  writeText(dir.path() / "a.txt", "12345");
  writeText(dir.path() / "sub" / "b.txt", "123");
  writeText(dir.path() / ".TovarineClone-OLD" / "a.txt", "12345");
  fs::create_symlink(dir.path() / "a.txt", dir.path() / "link");
  EXPECT_EQ(BackupFilesystem::preflightCloneLimits(dir.path()), (BackupFilesystem::CloneLimits{true, 2, 8}));
}

TEST(APFSCloneSession, MakesNoCloneAndNoWarningOffAPFS) {
  TempDir dir;
  writeText(dir.path() / "a.txt", "a");
  ASSERT_FALSE(APFSCloneSession::defaultIsAPFSVolume(dir.path())) << "the test folder is on APFS";
  bool preflightCalled = false;
  APFSCloneSession::TestingHooks hooks;
  hooks.preflightCloneLimits = [&](const fs::path&) {
    preflightCalled = true;
    return BackupFilesystem::CloneLimits{true, 0, 0};
  };
  APFSCloneSession session(dir.path(), hooks);
  EXPECT_FALSE(session.didClone());
  EXPECT_FALSE(session.cloneRoot().has_value());
  EXPECT_TRUE(session.warnings().empty());
  EXPECT_FALSE(preflightCalled);
  EXPECT_TRUE(cloneFoldersIn(dir.path()).empty());
}

TEST(APFSCloneSession, SourceOverTheLimitsIsNotClonedAndSaysWhy) {
  TempDir dir;
  APFSCloneSession::TestingHooks hooks;
  hooks.isAPFSVolume = [](const fs::path&) { return true; };
  hooks.preflightCloneLimits = [](const fs::path&) { return BackupFilesystem::CloneLimits{false, 200001, 5}; };
  hooks.cloneContentsOverride = [](const fs::path&, const fs::path&) { FAIL() << "cloned a source over the limits"; };
  APFSCloneSession session(dir.path(), hooks);
  EXPECT_FALSE(session.didClone());
  ASSERT_EQ(session.warnings().size(), 1u);
  const BackupPlanError& warning = session.warnings()[0];
  EXPECT_EQ(warning.path, dir.path().string());
  EXPECT_EQ(warning.errorDescription,
            "Skipping APFS directory clone (too large: 200001 files, 5 bytes; limits: 200000 files, "
            "1000000000000 bytes).");
  EXPECT_EQ(warning.errorDomain, "EngineError");
  EXPECT_TRUE(cloneFoldersIn(dir.path()).empty());
}

class CloneTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    source_ = dir_.path() / "source";
    writeText(source_ / "top.txt", "top");
    writeText(source_ / "a" / "b" / "deep.txt", "deep");
    writeText(source_ / ".hidden", "hidden files are cloned too");
    fs::create_directories(source_ / "empty");
    writeText(source_ / ".TovarineClone-EARLIER" / "old.txt", "old clone");
    writeText(dir_.path() / "outside.txt", "outside");
    fs::create_symlink(dir_.path() / "outside.txt", source_ / "a" / "outside-link");
    fs::create_symlink("../top.txt", source_ / "a" / "relative-link");
    fs::create_symlink("missing", source_ / "dangling");
    fs::create_directory_symlink(dir_.path(), source_ / "dir-link");
    ASSERT_EQ(::mkfifo((source_ / "fifo").c_str(), 0600), 0);
    hooks_.isAPFSVolume = [](const fs::path&) { return true; };
    hooks_.copyFileClone = [this](const std::string& from, const std::string& to) {
      copied_.insert(fs::path(from).lexically_relative(source_).string());
      return copyBytes(from, to);
    };
  }

  TempDir dir_;
  fs::path source_;
  APFSCloneSession::TestingHooks hooks_;
  std::set<std::string> copied_;
};

TEST_F(CloneTreeTest, RecreatesTheTreeWithLinksUnfollowedAndEarlierClonesLeftOut) {
  APFSCloneSession session(source_, hooks_);
  ASSERT_TRUE(session.warnings().empty()) << session.warnings()[0].errorDescription;
  ASSERT_TRUE(session.didClone());
  ASSERT_TRUE(session.cloneRoot().has_value());
  const fs::path clone = *session.cloneRoot();
  EXPECT_EQ(clone.parent_path(), source_);
  EXPECT_TRUE(std::regex_match(
      clone.filename().string(),
      std::regex(R"(\.TovarineClone-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12})")));
  EXPECT_EQ(fs::status(clone).permissions() & fs::perms::all, fs::perms::owner_all);

  EXPECT_EQ(copied_, (std::set<std::string>{"top.txt", "a/b/deep.txt", ".hidden"}));
  EXPECT_EQ(readText(clone / "top.txt"), "top");
  EXPECT_EQ(readText(clone / "a" / "b" / "deep.txt"), "deep");
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(clone / "empty")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(clone / ".TovarineClone-EARLIER")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(clone / "fifo")));
  struct Link {
    const char* path;
    fs::path target;
  };
  for (const Link& link : {Link{"a/outside-link", dir_.path() / "outside.txt"}, Link{"a/relative-link", "../top.txt"},
                           Link{"dangling", "missing"}, Link{"dir-link", dir_.path()}}) {
    SCOPED_TRACE(link.path);
    ASSERT_TRUE(fs::is_symlink(fs::symlink_status(clone / link.path)));
    EXPECT_EQ(fs::read_symlink(clone / link.path), link.target);
  }
  // Only the new clone sits beside the earlier one, and nothing was written outside the source.
  EXPECT_EQ(cloneFoldersIn(source_).size(), 2u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 2);

  session.cleanup();
  EXPECT_FALSE(session.didClone());
  EXPECT_FALSE(fs::exists(fs::symlink_status(clone)));
  // Removing the clone removed its links, not what they point at.
  EXPECT_EQ(readText(dir_.path() / "outside.txt"), "outside");
  EXPECT_EQ(readText(source_ / "top.txt"), "top");
  EXPECT_TRUE(fs::exists(source_ / ".TovarineClone-EARLIER" / "old.txt"));
  session.cleanup();
}

TEST_F(CloneTreeTest, DroppingTheSessionRemovesItsClone) {
  fs::path clone;
  {
    APFSCloneSession session(source_, hooks_);
    ASSERT_TRUE(session.didClone());
    clone = *session.cloneRoot();
  }
  EXPECT_FALSE(fs::exists(clone));
  EXPECT_EQ(cloneFoldersIn(source_).size(), 1u);
}

TEST_F(CloneTreeTest, FailedCloneIsRemovedAndReportedForTheSource) {
  struct Case {
    const char* name;
    std::function<void(APFSCloneSession::TestingHooks&)> arrange;
    std::string domain;
    long code;
    std::string message;
  };
  const std::string deep = (source_ / "a" / "b" / "deep.txt").string();
  const Case cases[] = {
      {"clone of one file refused",
       [&](APFSCloneSession::TestingHooks& h) {
         h.copyFileClone = [&](const std::string& from, const std::string& to) {
           if (from == deep) {
             errno = EXDEV;
             return -1;
           }
           return copyBytes(from, to);
         };
       },
       "NSPOSIXErrorDomain", EXDEV, "copyfile(clone-file) failed for " + deep + ": " + std::strerror(EXDEV) + "."},
      {"no enumerator",
       [](APFSCloneSession::TestingHooks& h) {
         h.makeEnumerator = [](const fs::path&, DirectoryEnumerator::ErrorHandler) { return nullptr; };
       },
       "EngineError", 0, "Failed to enumerate " + source_.string() + " for cloning"},
      {"override throws",
       [](APFSCloneSession::TestingHooks& h) {
         h.cloneContentsOverride = [](const fs::path&, const fs::path& folder) {
           writeText(folder / "partial", "x");
           throw Error("Test", 7, "Override failed.");
         };
       },
       "Test", 7, "Override failed."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    APFSCloneSession::TestingHooks hooks = hooks_;
    c.arrange(hooks);
    APFSCloneSession session(source_, hooks);
    EXPECT_FALSE(session.didClone());
    EXPECT_FALSE(session.cloneRoot().has_value());
    ASSERT_EQ(session.warnings().size(), 1u);
    EXPECT_EQ(session.warnings()[0], (BackupPlanError{source_.string(), c.message, c.domain, c.code}));
    EXPECT_EQ(cloneFoldersIn(source_), std::vector<fs::path>{source_ / ".TovarineClone-EARLIER"});
  }
}

TEST_F(CloneTreeTest, CloneFolderThatCannotBeMadeIsAWarning) {
  const fs::path missing = dir_.path() / "missing";
  APFSCloneSession session(missing, hooks_);
  EXPECT_FALSE(session.didClone());
  ASSERT_EQ(session.warnings().size(), 1u);
  EXPECT_EQ(session.warnings()[0].path, missing.string());
  EXPECT_EQ(session.warnings()[0].errorDomain, "NSPOSIXErrorDomain");
  EXPECT_EQ(session.warnings()[0].errorCode, ENOENT);
}

TEST_F(CloneTreeTest, AnItemTheWalkCannotReadIsReportedAndTheCloneGoesOn) {
  // Forwards the real walk and reports an error for one folder, as an unreadable one would.
  class Failing : public DirectoryEnumerator {
   public:
    Failing(std::unique_ptr<DirectoryEnumerator> inner, ErrorHandler onError)
        : inner_(std::move(inner)), onError_(std::move(onError)) {}
    std::optional<Item> next() override {
      std::optional<Item> item = inner_->next();
      if (item && item->path.filename() == "empty") {
        onError_(item->path, PosixError("opendir", EACCES, item->path.string()));
      }
      return item;
    }
    void skipDescendants() override { inner_->skipDescendants(); }

   private:
    std::unique_ptr<DirectoryEnumerator> inner_;
    ErrorHandler onError_;
  };
  hooks_.makeEnumerator = [](const fs::path& root, DirectoryEnumerator::ErrorHandler onError) {
    return std::make_unique<Failing>(BackupFilesystem::makeDirectoryEnumerator(root, onError), onError);
  };
  APFSCloneSession session(source_, hooks_);
  EXPECT_TRUE(session.didClone());
  const std::string empty = (source_ / "empty").string();
  ASSERT_EQ(session.warnings().size(), 1u);
  EXPECT_EQ(session.warnings()[0],
            (BackupPlanError{empty, "opendir failed for " + empty + ": " + std::strerror(EACCES) + ".",
                             "NSPOSIXErrorDomain", EACCES}));
  EXPECT_EQ(readText(*session.cloneRoot() / "top.txt"), "top");
}

TEST(APFSCloneSessionDefaults, FileCloneSharesDataOrFailsCleanlyWhereReflinksAreMissing) {
  TempDir dir;
  const fs::path from = dir.path() / "from";
  const fs::path to = dir.path() / "to";
  writeText(from, std::string(100000, 'x'));
  ::chmod(from.c_str(), 0640);
  errno = 0;
  std::int32_t status = APFSCloneSession::defaultCopyFileClone(from.string(), to.string());
  int err = errno;
  if (status == 0) {
    EXPECT_EQ(readText(to), readText(from));
    EXPECT_EQ(fs::status(to).permissions(), fs::status(from).permissions());
    EXPECT_EQ(fs::last_write_time(to), fs::last_write_time(from));
  } else {
    EXPECT_EQ(status, -1);
    EXPECT_TRUE(err == EOPNOTSUPP || err == EXDEV || err == EINVAL || err == ENOTTY || err == ENOSYS)
        << std::strerror(err);
    EXPECT_FALSE(fs::exists(to)) << "a failed clone left a destination file";
  }
  // An existing destination is never replaced.
  writeText(to, "keep");
  EXPECT_NE(APFSCloneSession::defaultCopyFileClone(from.string(), to.string()), 0);
  EXPECT_EQ(readText(to), "keep");
}

TEST(APFSCloneSessionDefaults, CloneWithTheRealFileCloneEitherMatchesTheSourceOrIsReported) {
  TempDir dir;
  writeText(dir.path() / "sub" / "f.txt", "contents");
  APFSCloneSession::TestingHooks hooks;
  hooks.isAPFSVolume = [](const fs::path&) { return true; };
  APFSCloneSession session(dir.path(), hooks);
  if (session.didClone()) {
    EXPECT_TRUE(session.warnings().empty());
    EXPECT_EQ(readText(*session.cloneRoot() / "sub" / "f.txt"), "contents");
  } else {
    ASSERT_EQ(session.warnings().size(), 1u);
    EXPECT_EQ(session.warnings()[0].path, dir.path().string());
    EXPECT_EQ(session.warnings()[0].errorDescription.rfind(
                  "copyfile(clone-file) failed for " + (dir.path() / "sub" / "f.txt").string() + ": ", 0),
              0u)
        << session.warnings()[0].errorDescription;
    EXPECT_TRUE(cloneFoldersIn(dir.path()).empty());
  }
}

}  // namespace
}  // namespace tvr
