#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace tvr {

// A problem a backup run noticed but worked around (a blob it had to rewrite, metadata it
// could not copy). Plain value; the run collects these and shows them after the run.
struct BackupWarning {
  enum class Kind { extendedAttributes, acl, flags, attributes, general };

  Kind kind = Kind::general;
  std::string path;
  std::string message;

  bool operator==(const BackupWarning& other) const = default;
};

// The text form of a warning kind ("extendedAttributes", "acl", "flags", "attributes",
// "general").
std::string_view backupWarningKindName(BackupWarning::Kind kind);

// A problem with one path found while planning a run; it becomes a planning error of the
// run. Plain value, built from a path and the error that was met.
struct BackupPlanError {
  std::string path;
  std::string errorDescription;
  std::string errorDomain;
  long errorCode = 0;

  // Takes the description, domain and code of a tvr::Error; a std::filesystem error keeps
  // its errno as code under "NSPOSIXErrorDomain"; any other exception gets the domain
  // "UnknownError" and code 1.
  static BackupPlanError make(std::string path, const std::exception& error);
  // The same for an exception held as a pointer (for example one caught with `catch (...)`).
  static BackupPlanError make(std::string path, const std::exception_ptr& error);

  bool operator==(const BackupPlanError& other) const = default;
};

}  // namespace tvr
