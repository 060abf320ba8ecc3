#include "BackupCLI/CLIError.h"

#include <nlohmann/json.hpp>

#include "platform/CanonicalJson.h"
#include "platform/Error.h"
#include "platform/Unicode.h"

namespace tvr::cli {

namespace {

const char* const kInternalRemediation = "Run the command again with --verbose and capture the error for debugging.";
const char* const kProviderRemediation = "Check network connectivity and provider credentials, then retry.";
const char* const kS3BackendDomain = "S3RepositoryStorageBackend";

std::string detail(const std::map<std::string, std::string>& details, const std::string& key) {
  auto it = details.find(key);
  return it == details.end() ? std::string() : it->second;
}

CLIError internalError(std::string message) {
  return CLIError("internal_error", "internal", std::move(message), kInternalRemediation, ExitCode::internal);
}

}  // namespace

OutputFormat parseOutputFormat(const std::string& text) {
  std::string lowered = unicode::lowercased(text);
  if (lowered == "text") return OutputFormat::text;
  if (lowered == "json") return OutputFormat::json;
  throw CLIError::usage("invalid_output_format", "--output must be text or json", "Choose one of: text, json.",
                        {{"format", text}});
}

CLIError::CLIError(std::string code, std::string category, std::string message, std::optional<std::string> remediation,
                   std::int32_t exitCode, std::map<std::string, std::string> details)
    : code_(std::move(code)),
      category_(std::move(category)),
      message_(std::move(message)),
      remediation_(std::move(remediation)),
      exitCode_(exitCode),
      details_(std::move(details)) {}

CLIError CLIError::usage(std::string code, std::string message, std::string remediation,
                         std::map<std::string, std::string> details) {
  return CLIError(std::move(code), "usage", std::move(message), std::move(remediation), ExitCode::usage,
                  std::move(details));
}

CLIError CLIError::validation(std::string code, std::string message, std::string remediation,
                              std::map<std::string, std::string> details) {
  return CLIError(std::move(code), "validation", std::move(message), std::move(remediation), ExitCode::usage,
                  std::move(details));
}

CLIError CLIError::classify(std::exception_ptr error) noexcept {
  try {
    try {
      std::rethrow_exception(error);
    } catch (const CLIError& cliError) {
      return cliError;
    } catch (const Error& engineError) {
      if (engineError.domain() == kS3BackendDomain) {
        return CLIError("provider_network_failed", "network", engineError.message(), kProviderRemediation,
                        ExitCode::providerNetwork);
      }
      return internalError(engineError.message());
    } catch (const std::exception& other) {
      return internalError(other.what());
    } catch (...) {
      return internalError("An unknown error occurred.");
    }
  } catch (...) {
    // Building the CLIError itself failed (out of memory): fall back to a value whose
    // construction needs no allocation beyond the literals.
    return CLIError("internal_error", "internal", "Out of memory.", std::nullopt, ExitCode::internal);
  }
}

nlohmann::json CLIError::errorEnvelope() const {
  nlohmann::json document = {
      {"schemaVersion", 1},
      {"type", "error"},
      {"code", code_},
      {"category", category_},
      {"message", message_},
      {"exitCode", exitCode_},
      {"details", nlohmann::json::object()},
  };
  if (remediation_) document["remediation"] = *remediation_;
  for (const auto& [key, value] : details_) document["details"][key] = value;
  return document;
}

nlohmann::json CLIError::confirmationEnvelope() const {
  nlohmann::json change = {
      {"operation", detail(details_, "operation")},
      {"path", detail(details_, "path")},
      {"risk", detail(details_, "risk")},
  };
  nlohmann::json document = {
      {"schemaVersion", 1},
      {"type", "confirmation_required"},
      {"reason", detail(details_, "reason")},
      {"risk", detail(details_, "risk")},
      {"message", message_},
      {"exitCode", exitCode_},
      {"changes", nlohmann::json::array({change})},
      {"confirmCommand", detail(details_, "confirmCommand")},
  };
  if (remediation_) document["remediation"] = *remediation_;
  return document;
}

CLIError& CLIError::withLeadingLines(std::vector<std::string> lines) {
  leadingLines_ = std::move(lines);
  return *this;
}

std::string CLIError::render(OutputFormat format) const {
  if (format == OutputFormat::text) {
    std::string text;
    for (const std::string& line : leadingLines_) text += line + "\n";
    return text + message_;
  }
  if (code_ == "confirmation_required") return jsonString(confirmationEnvelope());
  return jsonString(errorEnvelope());
}

std::string jsonString(const nlohmann::json& value) { return canonicalJsonString(value, false); }

}  // namespace tvr::cli
