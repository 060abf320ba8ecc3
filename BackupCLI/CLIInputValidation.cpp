#include "BackupCLI/CLIInputValidation.h"

#include <cctype>
#include <optional>
#include <string_view>

#include "BackupCLI/CLIError.h"
#include "engine/metadata/PlanID.h"
#include "platform/Unicode.h"

namespace tvr::cli::CLIInputValidation {

namespace {

CLIError failure(const std::string& code, const std::string& message, const std::string& remediation,
                 const std::string& option) {
  return CLIError::validation(code, message, remediation, {{"option", option}});
}

bool isAsciiAlpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }
bool isUnreserved(char c) { return isAsciiAlpha(c) || isAsciiDigit(c) || c == '-' || c == '.' || c == '_' || c == '~'; }
bool isSubDelim(char c) { return std::string_view("!$&'()*+,;=").find(c) != std::string_view::npos; }
bool isHexDigit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// Every character is allowed by `allowed` or is part of a well-formed %XX escape.
template <typename Predicate>
bool allCharactersValid(std::string_view text, Predicate allowed) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size() || !isHexDigit(text[i + 1]) || !isHexDigit(text[i + 2])) return false;
      i += 2;
    } else if (!allowed(c)) {
      return false;
    }
  }
  return true;
}

bool isPathCharacter(char c) { return isUnreserved(c) || isSubDelim(c) || c == ':' || c == '@' || c == '/'; }
bool isQueryCharacter(char c) { return isPathCharacter(c) || c == '?'; }

// The parts of an absolute URL that the endpoint rules look at.
struct ParsedURL {
  std::string scheme;
  bool hasAuthority = false;
  bool hasUserInfo = false;
  std::string host;
};

// A strict reading of an RFC 3986 URI; absent when the text is not one.
std::optional<ParsedURL> parseURL(std::string_view text) {
  ParsedURL url;
  std::size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  std::string_view scheme = text.substr(0, colon);
  if (!isAsciiAlpha(scheme[0])) return std::nullopt;
  for (char c : scheme) {
    if (!(isAsciiAlpha(c) || isAsciiDigit(c) || c == '+' || c == '-' || c == '.')) return std::nullopt;
  }
  url.scheme = std::string(scheme);
  std::string_view rest = text.substr(colon + 1);

  std::size_t fragmentStart = rest.find('#');
  if (fragmentStart != std::string_view::npos) {
    if (!allCharactersValid(rest.substr(fragmentStart + 1), isQueryCharacter)) return std::nullopt;
    rest = rest.substr(0, fragmentStart);
  }
  std::size_t queryStart = rest.find('?');
  if (queryStart != std::string_view::npos) {
    if (!allCharactersValid(rest.substr(queryStart + 1), isQueryCharacter)) return std::nullopt;
    rest = rest.substr(0, queryStart);
  }
  if (rest.substr(0, 2) == "//") {
    url.hasAuthority = true;
    rest = rest.substr(2);
    std::size_t pathStart = rest.find('/');
    std::string_view authority = rest.substr(0, pathStart);
    rest = pathStart == std::string_view::npos ? std::string_view() : rest.substr(pathStart);

    std::size_t at = authority.find('@');
    if (at != std::string_view::npos) {
      url.hasUserInfo = true;
      auto userInfoCharacter = [](char c) { return isUnreserved(c) || isSubDelim(c) || c == ':'; };
      if (!allCharactersValid(authority.substr(0, at), userInfoCharacter)) return std::nullopt;
      authority = authority.substr(at + 1);
    }
    std::string_view host;
    std::string_view port;
    bool hasPort = false;
    if (!authority.empty() && authority[0] == '[') {
      std::size_t close = authority.find(']');
      if (close == std::string_view::npos || close == 1) return std::nullopt;
      std::string_view literal = authority.substr(1, close - 1);
      for (char c : literal) {
        if (!(isHexDigit(c) || c == ':' || c == '.')) return std::nullopt;
      }
      host = authority.substr(0, close + 1);
      std::string_view after = authority.substr(close + 1);
      if (!after.empty()) {
        if (after[0] != ':') return std::nullopt;
        hasPort = true;
        port = after.substr(1);
      }
    } else {
      std::size_t portColon = authority.find(':');
      host = authority.substr(0, portColon);
      if (portColon != std::string_view::npos) {
        hasPort = true;
        port = authority.substr(portColon + 1);
      }
      auto hostCharacter = [](char c) { return isUnreserved(c) || isSubDelim(c); };
      if (!allCharactersValid(host, hostCharacter)) return std::nullopt;
    }
    if (hasPort) {
      if (port.size() > 5) return std::nullopt;
      unsigned long number = 0;
      for (char c : port) {
        if (!isAsciiDigit(c)) return std::nullopt;
        number = number * 10 + static_cast<unsigned long>(c - '0');
      }
      if (number > 65535) return std::nullopt;
    }
    url.host = std::string(host);
  }
  if (!allCharactersValid(rest, isPathCharacter)) return std::nullopt;
  return url;
}

}  // namespace

namespace {

CLIError controlCharacterFailure(const std::string& option) {
  return failure("control_character_in_input", option + " must not contain control characters",
                 "Remove control characters and retry.", option);
}

}  // namespace

void rejectControlCharacters(const std::string& value, const std::string& option) {
  if (unicode::containsControlOrFormat(value)) throw controlCharacterFailure(option);
}

void rejectControlCharactersInName(const std::string& value, const std::string& option) {
  for (char32_t c : unicode::toUTF32(value)) {
    // Cc is exactly C0, DEL and C1.
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) throw controlCharacterFailure(option);
  }
}

void validateFilesystemPath(const std::string& value, const std::string& option) {
  if (value.empty()) {
    throw failure("empty_path", option + " path must not be empty", "Pass a non-empty filesystem path.", option);
  }
  rejectControlCharactersInName(value, option);
}

void validateRepositoryRelativePath(const std::string& value, const std::string& option) {
  if (value.empty()) {
    throw failure("empty_repository_path", option + " must not be empty", "Pass a normalized repository-relative path.",
                  option);
  }
  rejectControlCharactersInName(value, option);
  if (value.front() == '/') {
    throw failure("absolute_repository_path", option + " must be repository-relative, not absolute",
                  "Use the normalized path printed by `tvr list` or `tvr search`.", option);
  }
  std::string_view rest = value;
  while (true) {
    std::size_t slash = rest.find('/');
    std::string_view component = rest.substr(0, slash);
    if (component == "." || component == "..") {
      throw failure("unsafe_repository_path", option + " must not contain . or .. path components",
                    "Use the normalized repository path exactly as printed by `tvr list` or `tvr search`.", option);
    }
    if (slash == std::string_view::npos) break;
    rest = rest.substr(slash + 1);
  }
}

void validateEnvironmentVariableName(const std::string& value, const std::string& option) {
  if (value.empty() || value.find('=') != std::string::npos) {
    throw failure("invalid_environment_variable_name", option + " must name a non-empty environment variable",
                  "Pass the variable name, not an assignment.", option);
  }
  rejectControlCharacters(value, option);
}

void validateNonEmptyValue(const std::string& value, const std::string& option) {
  if (value.empty()) {
    throw failure("empty_option_value", option + " must not be empty", "Pass a non-empty value for " + option + ".",
                  option);
  }
  rejectControlCharacters(value, option);
}

std::string validateEndpoint(const std::string& value, const std::string& option) {
  rejectControlCharacters(value, option);
  CLIError invalid = failure("invalid_endpoint", option + " must be an http or https URL",
                             std::string("Pass an endpoint such as ") + kExampleEndpoint + ".", option);
  std::optional<ParsedURL> url = parseURL(value);
  if (!url) throw invalid;
  std::string scheme = unicode::lowercased(url->scheme);
  if (scheme != "http" && scheme != "https") throw invalid;
  if (!url->hasAuthority || url->host.empty()) throw invalid;
  // Requests are built from the scheme, host and path only; a query or fragment would be
  // dropped without a word.
  if (value.find_first_of("?#") != std::string::npos) {
    throw failure("invalid_endpoint", option + " must not contain a query or fragment",
                  std::string("Pass an endpoint such as ") + kExampleEndpoint + ".", option);
  }
  if (url->hasUserInfo) {
    throw failure("endpoint_credentials_not_allowed", option + " must not contain embedded credentials",
                  "Pass access keys with --access-key-id and AWS_SECRET_ACCESS_KEY or --secret-access-key.", option);
  }
  return value;
}

void validatePlanID(const std::string& value, const std::string& option) {
  if (!PlanID::isValid(value)) {
    throw failure("invalid_plan_id", option + " contains an invalid plan ID",
                  "Use a non-empty plan ID containing only letters, numbers, dash, underscore, period, "
                  "colon, or pipe.",
                  option);
  }
}

}  // namespace tvr::cli::CLIInputValidation
