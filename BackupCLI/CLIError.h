#pragma once

#include <cstdint>
#include <exception>
#include <map>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tvr::cli {

// Process exit statuses of the tool, one per error class.
namespace ExitCode {
inline constexpr std::int32_t success = 0;
inline constexpr std::int32_t internal = 1;
inline constexpr std::int32_t usage = 2;  // usage and validation errors
inline constexpr std::int32_t confirmationRequired = 3;
inline constexpr std::int32_t repository = 4;
inline constexpr std::int32_t repositoryIntegrity = 5;
inline constexpr std::int32_t authentication = 6;
inline constexpr std::int32_t providerNetwork = 7;
}  // namespace ExitCode

// The output switch chosen by --json / --output.
enum class OutputFormat { text, json };

// Parses an --output value case-insensitively; anything but text or json throws CLIError
// invalid_output_format with the value as typed in its details.
OutputFormat parseOutputFormat(const std::string& text);

// Every failure the front end recognises: a stable snake_case code, a category, a one-line
// message, a remediation hint, the process exit status and string details. A plain value,
// thrown as an exception; `what()` is the message.
class CLIError : public std::exception {
 public:
  CLIError(std::string code, std::string category, std::string message, std::optional<std::string> remediation,
           std::int32_t exitCode, std::map<std::string, std::string> details = {});

  // The common case of a usage (category "usage") or validation ("validation") error, exit 2.
  static CLIError usage(std::string code, std::string message, std::string remediation,
                        std::map<std::string, std::string> details = {});
  static CLIError validation(std::string code, std::string message, std::string remediation,
                             std::map<std::string, std::string> details = {});

  // Converts anything that is not a CLIError: a tvr::Error of the S3 backend's domain or of
  // its HTTP transport becomes provider_network_failed (exit 7); everything else
  // internal_error (exit 1). The message is the error's own description; the error itself
  // (and any exception nested in it) becomes the causes. Never throws.
  static CLIError classify(std::exception_ptr error) noexcept;

  const std::string& code() const noexcept { return code_; }
  const std::string& category() const noexcept { return category_; }
  const std::string& message() const noexcept { return message_; }
  const std::optional<std::string>& remediation() const noexcept { return remediation_; }
  std::int32_t exitCode() const noexcept { return exitCode_; }
  const std::map<std::string, std::string>& details() const noexcept { return details_; }
  // The underlying errors, outermost first, one line each ("<domain> <code>: <message>").
  const std::vector<std::string>& causes() const noexcept { return causes_; }
  CLIError& withCause(std::string cause) {
    causes_.push_back(std::move(cause));
    return *this;
  }
  // What --verbose adds below the message in text mode: the code, category and exit
  // status, then one line per cause.
  std::vector<std::string> verboseLines() const;
  const char* what() const noexcept override { return message_.c_str(); }

  // Lines written to standard error before the message in text mode (one per item an
  // operation had to leave out, for instance); JSON mode carries only the envelope.
  CLIError& withLeadingLines(std::vector<std::string> lines);
  const std::vector<std::string>& leadingLines() const noexcept { return leadingLines_; }

  // The text written to standard error: the message alone in text mode (after any leading
  // lines); in JSON mode a
  // CLIConfirmationEnvelope for confirmation_required and a CLIErrorEnvelope otherwise.
  std::string render(OutputFormat format) const;

  // The two JSON documents, exposed for tests and for callers that embed them.
  nlohmann::json errorEnvelope() const;
  nlohmann::json confirmationEnvelope() const;

 private:
  std::string code_;
  std::string category_;
  std::string message_;
  std::optional<std::string> remediation_;
  std::int32_t exitCode_;
  std::map<std::string, std::string> details_;
  std::vector<std::string> leadingLines_;
  std::vector<std::string> causes_;
};

// One cause line for an exception: "<domain> <code>: <message>" for a tvr::Error, the
// description for anything else; exceptions nested with std::throw_with_nested follow.
std::vector<std::string> causeLines(std::exception_ptr error);

// The one JSON encoding of everything the tool prints: compact, keys sorted at every depth,
// "/" escaped as "\/". Invalid UTF-8 in strings is replaced, so encoding never fails on text.
std::string jsonString(const nlohmann::json& value);

// Text for a terminal: control characters (C0, DEL, C1) shown visibly as \n, \t, \r,
// \x1b or \u{85}, so a hostile name cannot drive the terminal. Everything else unchanged.
std::string visibleText(std::string_view text);

}  // namespace tvr::cli
