#include "BackupCLI/RecoveryPassword.h"

#include "BackupCLI/CLIError.h"
#include "BackupCLI/CLIInputValidation.h"
#include "engine/crypto/RecoveryKeyWrapping.h"
#include "engine/metadata/RepositoryMetadata.h"
#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/Unicode.h"

namespace tvr::cli {

namespace {

// Wipes a password held in a std::string when the scope ends.
class PasswordWiper {
 public:
  explicit PasswordWiper(std::optional<std::string>& password) : password_(password) {}
  ~PasswordWiper() {
    if (password_) secureWipe(password_->data(), password_->size());
  }

 private:
  std::optional<std::string>& password_;
};

bool isValidUTF8(const std::string& text) {
  // ICU replaces invalid sequences with U+FFFD; a round trip that changes the bytes was invalid.
  return unicode::toUTF8(unicode::toUTF32(text)) == text;
}

}  // namespace

std::string trimmingTrailingNewlines(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

std::optional<std::string> recoveryPassword(const ParsedOptions& options, const Environment& environment) {
  std::vector<std::string> present;
  for (const std::string& name : recoveryPasswordOptions()) {
    if (options.contains(name)) present.push_back(name);
  }
  if (present.size() >= 2) {
    std::string names;
    for (std::size_t i = 0; i < present.size(); ++i) names += (i ? ", " : "") + present[i];
    throw CLIError::usage("multiple_recovery_password_sources", "Use only one recovery password source: " + names,
                          "Pass only one of --recovery-password, --recovery-password-file, or "
                          "--recovery-password-env.");
  }
  if (present.empty()) return std::nullopt;

  const std::string& source = present.front();
  std::string value = *options.value(source);
  if (source == "--recovery-password") return value;

  if (source == "--recovery-password-file") {
    CLIInputValidation::validateFilesystemPath(value, "--recovery-password-file");
    Bytes bytes = readFileBytes(fileLocation(value));
    std::string text(bytes.begin(), bytes.end());
    secureWipe(bytes.data(), bytes.size());
    if (!isValidUTF8(text)) {
      secureWipe(text.data(), text.size());
      throw platformError("RecoveryPasswordFile", "The recovery password file is not valid UTF-8 text.");
    }
    std::string trimmed = trimmingTrailingNewlines(text);
    secureWipe(text.data(), text.size());
    return trimmed;
  }

  CLIInputValidation::validateEnvironmentVariableName(value, "--recovery-password-env");
  auto it = environment.find(value);
  if (it == environment.end() || it->second.empty()) {
    throw CLIError("missing_recovery_password_environment", "authentication",
                   "Environment variable " + value + " is not set",
                   "Set the environment variable or choose another recovery password source.", ExitCode::authentication,
                   {{"variable", value}});
  }
  return it->second;
}

std::optional<RepositoryKeyMaterial> repositoryKeyMaterial(const std::filesystem::path& repository,
                                                           const ParsedOptions& options,
                                                           const Environment& environment) {
  std::optional<std::string> password = recoveryPassword(options, environment);
  PasswordWiper wiper(password);
  if (!password) return std::nullopt;
  std::optional<RepositoryMetadata> metadata = RepositoryMetadata::read(repository);
  if (metadata && metadata->encryption && metadata->encryption->recoveryWrappedKey) {
    return RecoveryKeyWrapping::unwrap(*metadata->encryption->recoveryWrappedKey, *password);
  }
  throw CLIError("recovery_material_unavailable", "authentication", "Repository does not contain recovery key material",
                 "Use a repository that includes recovery-wrapped key material or recover through a "
                 "trusted keychain path.",
                 ExitCode::authentication);
}

std::optional<RepositoryKeyMaterial> requiredRepositoryKeyMaterial(const std::filesystem::path& repository,
                                                                   const ParsedOptions& options,
                                                                   const Environment& environment) {
  std::optional<RepositoryMetadata> metadata = RepositoryMetadata::read(repository);
  if (!metadata || !metadata->encryption) return std::nullopt;
  std::optional<RepositoryKeyMaterial> key = repositoryKeyMaterial(repository, options, environment);
  if (!key) {
    throw CLIError("recovery_material_required", "authentication",
                   "Encrypted repository requires --recovery-password, --recovery-password-file, or "
                   "--recovery-password-env",
                   "Pass exactly one recovery password source.", ExitCode::authentication);
  }
  return key;
}

}  // namespace tvr::cli
