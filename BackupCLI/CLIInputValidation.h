#pragma once

#include <string>

namespace tvr::cli::CLIInputValidation {

// The checks every user-supplied value passes before it reaches the engine. Each takes the
// value and the option name used in messages, and throws CLIError (category "validation",
// exit 2, details `option`) at the first rule that fails. Stateless; thread-safe.

// Not empty; no control character.
void validateFilesystemPath(const std::string& value, const std::string& option);
// Not empty; no control character; not absolute; no "." or ".." component.
void validateRepositoryRelativePath(const std::string& value, const std::string& option);
// Not empty and no "="; no control character.
void validateEnvironmentVariableName(const std::string& value, const std::string& option);
// Not empty; no control character.
void validateNonEmptyValue(const std::string& value, const std::string& option);
// An http or https URL with a host and without embedded credentials; returns it unchanged.
std::string validateEndpoint(const std::string& value, const std::string& option);
// A valid plan identifier (letters, marks, digits and "-_.:|", not empty).
void validatePlanID(const std::string& value, const std::string& option);

// No member of Unicode general categories Cc or Cf.
void rejectControlCharacters(const std::string& value, const std::string& option);
// No member of Cc. Names (paths, --name) accept Cf: joined emoji, soft hyphens and
// direction marks are common in real file names.
void rejectControlCharactersInName(const std::string& value, const std::string& option);

// The example endpoint named in remediation texts and command examples.
inline constexpr const char* kExampleEndpoint = "https://account-id.r2.cloudflarestorage.com";

}  // namespace tvr::cli::CLIInputValidation
