#include "BackupCLI/RecoveryPassword.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "BackupCLI/CLIError.h"
#include "BackupCLI/CLIInputValidation.h"
#include "BackupCLI/CommandHandlers.h"
#include "engine/crypto/CryptoPrimitives.h"
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

// The password file's bytes, at most kMaximumPasswordFileBytes; a larger file is refused
// without reading it whole. Every buffer that held password bytes is wiped.
std::string readPasswordFile(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw PosixError("open", errno, path.string());
  std::string text(kMaximumPasswordFileBytes + 1, '\0');
  std::size_t length = 0;
  int err = 0;
  while (length < text.size()) {
    ssize_t n = ::read(fd, text.data() + length, text.size() - length);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) err = errno;
    if (n <= 0) break;
    length += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (err != 0 || length > kMaximumPasswordFileBytes) {
    secureWipe(text.data(), text.size());
    if (err != 0) throw PosixError("read", err, path.string());
    throw CLIError::validation("recovery_password_file_too_large",
                               "Recovery password file is larger than 64 KiB: " + path.string(),
                               "Pass the file that holds only the recovery password.",
                               {{"option", "--recovery-password-file"}, {"path", path.string()}});
  }
  std::string result(text.data(), length);
  secureWipe(text.data(), text.size());
  return result;
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
    std::string text = readPasswordFile(fileLocation(value));
    if (!unicode::isValidUTF8(text)) {
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
    try {
      return RecoveryKeyWrapping::unwrap(*metadata->encryption->recoveryWrappedKey, *password);
    } catch (const crypto::CipherError& error) {
      // A failed tag check on the wrapped key is what a wrong password looks like.
      if (error.kind() != crypto::CipherError::Case::authenticationFailure) throw;
      CLIError wrong("invalid_recovery_password", "authentication", "Recovery password does not unlock this repository",
                     "Check the password for typing mistakes, extra spaces or a byte-order mark, or pass another "
                     "recovery password source.",
                     ExitCode::authentication);
      for (std::string& line : causeLines(std::current_exception())) wrong.withCause(std::move(line));
      throw wrong;
    }
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
  if (!metadata) throw repositoryMetadataMissing(repository);
  if (!metadata->encryption) return std::nullopt;
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
