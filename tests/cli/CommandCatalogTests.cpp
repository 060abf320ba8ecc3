// The command catalog against the usage map it is built from.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "BackupCLI/BackupCLI.h"
#include "BackupCLI/CommandCatalog.h"

namespace tvr::cli {
namespace {

TEST(CommandCatalogTest, EveryUsageComesFromTheUsageMapAndEveryCommandDispatches) {
  const auto& all = CommandCatalog::all();
  ASSERT_EQ(all.size(), 13u);
  ASSERT_EQ(BackupCLI::commandUsages().size(), 13u);
  for (const CommandMetadata& metadata : all) {
    SCOPED_TRACE(metadata.name);
    EXPECT_EQ(metadata.usage, BackupCLI::commandUsages().at(metadata.name));
    EXPECT_EQ(metadata.optionalOptions.back().name, "--output");
    EXPECT_EQ(metadata.exitCodes.front(), 0);
    // Each catalog entry is a command word the dispatcher knows (not unknown_command).
    std::string err;
    BackupCLI({}).run(
        {metadata.name, "--no-such-option-for-test"}, [](const std::string&) {},
        [&](const std::string& line) { err = line; });
    EXPECT_NE(err, "Unknown command: " + metadata.name);
    EXPECT_FALSE(err.empty());
  }
  EXPECT_EQ(CommandCatalog::find("Restore"), nullptr);
  ASSERT_NE(CommandCatalog::find("restore"), nullptr);
}

TEST(CommandCatalogTest, FlagsHaveNoValueNameInJson) {
  nlohmann::json restore = CommandCatalog::find("restore")->toJson();
  nlohmann::json dryRun = restore["optionalOptions"][1];
  EXPECT_EQ(dryRun["name"], "--dry-run");
  EXPECT_FALSE(dryRun.contains("valueName"));
  EXPECT_FALSE(restore["requiredOptions"][0].contains("valueName")) << "positional repository";
}

}  // namespace
}  // namespace tvr::cli
