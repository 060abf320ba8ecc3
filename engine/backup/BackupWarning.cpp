#include "engine/backup/BackupWarning.h"

#include <filesystem>

#include "platform/Error.h"

namespace tvr {

std::string_view backupWarningKindName(BackupWarning::Kind kind) {
  switch (kind) {
    case BackupWarning::Kind::extendedAttributes:
      return "extendedAttributes";
    case BackupWarning::Kind::acl:
      return "acl";
    case BackupWarning::Kind::flags:
      return "flags";
    case BackupWarning::Kind::attributes:
      return "attributes";
    case BackupWarning::Kind::general:
      return "general";
  }
  return "general";
}

BackupPlanError BackupPlanError::make(std::string path, const std::exception& error) {
  BackupPlanError result;
  result.path = std::move(path);
  result.errorDescription = error.what();
  if (const auto* engine = dynamic_cast<const Error*>(&error)) {
    result.errorDomain = engine->domain();
    result.errorCode = engine->code();
  } else if (const auto* fsError = dynamic_cast<const std::filesystem::filesystem_error*>(&error)) {
    result.errorDomain = "NSPOSIXErrorDomain";
    result.errorCode = fsError->code().value();
  } else {
    result.errorDomain = "UnknownError";
    result.errorCode = 1;
  }
  return result;
}

BackupPlanError BackupPlanError::make(std::string path, const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return make(std::move(path), e);
  } catch (...) {
    // Not an exception type we know; keep the path and say so rather than lose the record.
    return make(std::move(path), Error("UnknownError", 1, "An unknown error occurred."));
  }
}

}  // namespace tvr
