#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <stdexcept>

#include "engine/backup/BackupWarning.h"
#include "platform/Error.h"

namespace tvr {
namespace {

TEST(BackupPlanError, TakesDescriptionDomainAndCodeOfTheError) {
  struct Case {
    const char* name;
    std::exception_ptr error;
    BackupPlanError expected;
  };
  const std::filesystem::filesystem_error fsError("boom", std::make_error_code(std::errc::permission_denied));
  const Case cases[] = {
      {"engine io error",
       std::make_exception_ptr(EngineError::ioError("Disk went away.")),
       {"/p", "Disk went away.", "EngineError", 0}},
      {"posix error",
       std::make_exception_ptr(PosixError("open", ENOENT, "/p")),
       {"/p", PosixError("open", ENOENT, "/p").what(), "NSPOSIXErrorDomain", ENOENT}},
      {"filesystem error", std::make_exception_ptr(fsError), {"/p", fsError.what(), "NSPOSIXErrorDomain", EACCES}},
      {"other exception", std::make_exception_ptr(std::runtime_error("odd")), {"/p", "odd", "UnknownError", 1}},
      {"not an exception", std::make_exception_ptr(42), {"/p", "An unknown error occurred.", "UnknownError", 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(BackupPlanError::make("/p", c.error), c.expected);
  }
}

TEST(BackupWarning, KindsHaveTheirTextForms) {
  EXPECT_EQ(backupWarningKindName(BackupWarning::Kind::extendedAttributes), "extendedAttributes");
  EXPECT_EQ(backupWarningKindName(BackupWarning::Kind::acl), "acl");
  EXPECT_EQ(backupWarningKindName(BackupWarning::Kind::flags), "flags");
  EXPECT_EQ(backupWarningKindName(BackupWarning::Kind::attributes), "attributes");
  EXPECT_EQ(backupWarningKindName(BackupWarning::Kind::general), "general");
}

}  // namespace
}  // namespace tvr
