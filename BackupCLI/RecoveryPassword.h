#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "BackupCLI/BackupCLI.h"
#include "BackupCLI/ParsedOptions.h"
#include "engine/crypto/RepositoryKeyMaterial.h"

namespace tvr::cli {

// Where the recovery password comes from (exactly one of --recovery-password,
// --recovery-password-file, --recovery-password-env) and how the repository key is unlocked
// with it. The password lives only in memory for the command and is wiped afterwards; it never
// appears in a message or detail.

// The largest password file read; a password is far shorter, a larger file is a mistake.
inline constexpr std::size_t kMaximumPasswordFileBytes = 65536;

// The password from the one source given, or nullopt when none is given. Throws CLIError
// (multiple_recovery_password_sources, missing_recovery_password_environment, validation
// errors) or the read error of the password file.
std::optional<std::string> recoveryPassword(const ParsedOptions& options, const Environment& environment);

// The key unwrapped with the given password; nullopt when no password source is given.
// recovery_material_unavailable when the repository holds no recovery-wrapped key.
std::optional<RepositoryKeyMaterial> repositoryKeyMaterial(const std::filesystem::path& repository,
                                                           const ParsedOptions& options,
                                                           const Environment& environment);

// What the commands call: nullopt for an unencrypted repository (the password options are
// then not looked at); the key for an encrypted one, recovery_material_required without a
// source.
std::optional<RepositoryKeyMaterial> requiredRepositoryKeyMaterial(const std::filesystem::path& repository,
                                                                   const ParsedOptions& options,
                                                                   const Environment& environment);

// Removes trailing line feeds and carriage returns (so "\n", "\r" and Windows "\r\n" endings);
// nothing else: spaces, tabs and leading characters stay.
std::string trimmingTrailingNewlines(std::string text);

}  // namespace tvr::cli
