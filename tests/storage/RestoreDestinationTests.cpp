#include "engine/storage/RestoreDestination.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>

#include "platform/Error.h"
#include "tests/support/TempDir.h"

namespace tvr {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

void writeFile(const fs::path& path) { std::ofstream(path) << "x"; }

struct Case {
  const char* name;
  // Builds what is at `destination` (which does not exist yet) inside a fresh folder.
  std::function<void(const fs::path& folder, const fs::path& destination)> setUp;
  DestinationRefusal file;    // restore
  DestinationRefusal folder;  // export, hydration
};

TEST(RestoreDestinationTest, RefusesWhatWouldBeReplacedOrMergedInto) {
  using R = DestinationRefusal;
  const Case cases[] = {
      {"nothing there", [](const fs::path&, const fs::path&) {}, R::none, R::none},
      {"regular file", [](const fs::path&, const fs::path& d) { writeFile(d); }, R::existingItem, R::existingFile},
      {"empty directory", [](const fs::path&, const fs::path& d) { fs::create_directory(d); }, R::existingItem,
       R::none},
      {"directory holding only a hidden file",
       [](const fs::path&, const fs::path& d) {
         fs::create_directory(d);
         writeFile(d / ".hidden");
       },
       R::existingItem, R::nonEmptyDirectory},
      {"link to an empty directory",
       [](const fs::path& folder, const fs::path& d) {
         fs::create_directory(folder / "real");
         fs::create_directory_symlink(folder / "real", d);
       },
       R::existingItem, R::none},
      {"link to a non-empty directory",
       [](const fs::path& folder, const fs::path& d) {
         fs::create_directory(folder / "real");
         writeFile(folder / "real" / "a");
         fs::create_directory_symlink(folder / "real", d);
       },
       R::existingItem, R::nonEmptyDirectory},
      {"dangling link", [](const fs::path& folder, const fs::path& d) { fs::create_symlink(folder / "gone", d); },
       R::existingItem, R::existingFile},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(item.name);
    TempDir temp;
    const fs::path destination = temp / "destination";
    item.setUp(temp.path(), destination);
    EXPECT_EQ(fileDestinationRefusal(destination, false), item.file);
    EXPECT_EQ(folderDestinationRefusal(destination, false), item.folder);
    EXPECT_EQ(fileDestinationRefusal(destination, true), R::none);
    EXPECT_EQ(folderDestinationRefusal(destination, true), R::none);
  }
}

TEST(RestoreDestinationTest, APathBelowAFileHoldsNothing) {
  TempDir temp;
  writeFile(temp / "file");
  EXPECT_EQ(fileDestinationRefusal(temp / "file" / "below", false), DestinationRefusal::none);
  EXPECT_EQ(folderDestinationRefusal(temp / "file" / "below", false), DestinationRefusal::none);
}

TEST(RestoreDestinationTest, AFolderThatCannotBeLookedAtIsAnErrorNotAFreeDestination) {
  TempDir temp;
  const fs::path destination = temp / std::string(300, 'n');  // longer than a name may be
  try {
    folderDestinationRefusal(destination, false);
    FAIL() << "expected PosixError";
  } catch (const PosixError& error) {
    EXPECT_EQ(error.err(), ENAMETOOLONG);
  }
  EXPECT_EQ(folderDestinationRefusal(destination, true), DestinationRefusal::none);
}

}  // namespace
}  // namespace tvr
