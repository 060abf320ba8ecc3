// CLIError rendering, the JSON encoder and the classification of engine and platform errors.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <stdexcept>

#include "BackupCLI/CLIError.h"
#include "platform/Error.h"

namespace tvr::cli {
namespace {

CLIError classifyThrown(const std::function<void()>& thrower) {
  try {
    thrower();
  } catch (...) {
    return CLIError::classify(std::current_exception());
  }
  ADD_FAILURE() << "nothing was thrown";
  return CLIError("none", "none", "none", std::nullopt, 0);
}

TEST(CLIErrorTest, ErrorEnvelopeIsCompactSortedAndEscapesSlashes) {
  CLIError error = CLIError::validation("empty_path", "--to path must not be empty",
                                        "Pass a non-empty filesystem path.", {{"option", "--to"}, {"path", "a/b"}});
  EXPECT_EQ(error.render(OutputFormat::text), "--to path must not be empty");
  EXPECT_EQ(error.render(OutputFormat::json),
            R"({"category":"validation","code":"empty_path","details":{"option":"--to","path":"a\/b"},"exitCode":2,)"
            R"("message":"--to path must not be empty","remediation":"Pass a non-empty filesystem path.",)"
            R"("schemaVersion":1,"type":"error"})");

  CLIError bare("internal_error", "internal", "x", std::nullopt, 1);
  EXPECT_EQ(
      bare.render(OutputFormat::json),
      R"({"category":"internal","code":"internal_error","details":{},"exitCode":1,"message":"x","schemaVersion":1,"type":"error"})")
      << "remediation omitted when absent, details an empty object";
}

TEST(CLIErrorTest, ConfirmationEnvelopeCarriesTheChangeAndNoCodeOrDetails) {
  CLIError error("confirmation_required", "confirmation_required",
                 "Refusing to overwrite existing destination: /d/f. Pass --overwrite true to replace it.",
                 "Rerun with --overwrite true only if replacing the destination is intended.", 3,
                 {{"operation", "restore"},
                  {"path", "/d/f"},
                  {"reason", "destination_exists"},
                  {"risk", "overwrite"},
                  {"confirmCommand", "--overwrite true"}});
  EXPECT_EQ(error.render(OutputFormat::text),
            "Refusing to overwrite existing destination: /d/f. Pass --overwrite true to replace it.");
  EXPECT_EQ(
      error.render(OutputFormat::json),
      R"({"changes":[{"operation":"restore","path":"\/d\/f","risk":"overwrite"}],"confirmCommand":"--overwrite true",)"
      R"("exitCode":3,"message":"Refusing to overwrite existing destination: \/d\/f. Pass --overwrite true to replace it.",)"
      R"("reason":"destination_exists","remediation":"Rerun with --overwrite true only if replacing the destination is intended.",)"
      R"("risk":"overwrite","schemaVersion":1,"type":"confirmation_required"})");
}

TEST(CLIErrorTest, ClassifiesErrorsThatAreNotCLIErrors) {
  struct Case {
    const char* name;
    std::function<void()> thrower;
    std::string code;
    std::string category;
    std::string message;
    int exitCode;
  };
  const Case cases[] = {
      {"S3 backend domain", [] { throw Error("S3RepositoryStorageBackend", 1, "S3 GET failed with HTTP 403"); },
       "provider_network_failed", "network", "S3 GET failed with HTTP 403", 7},
      {"other engine domain", [] { throw Error("RepositoryRestoreReader", 1, "Run 8 is not restorable."); },
       "internal_error", "internal", "Run 8 is not restorable.", 1},
      {"domain that only resembles the S3 one", [] { throw Error("S3RepositoryStorageBackend.Transport", 1, "t"); },
       "internal_error", "internal", "t", 1},
      {"engine io error", [] { throw EngineError::ioError("Invalid S3 endpoint host."); }, "internal_error", "internal",
       "Invalid S3 endpoint host.", 1},
      {"platform error", [] { throw PosixError("open", ENOENT, "/x/y"); }, "internal_error", "internal",
       PosixError("open", ENOENT, "/x/y").message(), 1},
      {"standard exception", [] { throw std::runtime_error("boom"); }, "internal_error", "internal", "boom", 1},
      {"not an exception", [] { throw 7; }, "internal_error", "internal", "An unknown error occurred.", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CLIError error = classifyThrown(c.thrower);
    EXPECT_EQ(error.code(), c.code);
    EXPECT_EQ(error.category(), c.category);
    EXPECT_EQ(error.message(), c.message);
    EXPECT_EQ(error.exitCode(), c.exitCode);
    EXPECT_TRUE(error.details().empty());
    EXPECT_EQ(*error.remediation(), c.exitCode == 7
                                        ? "Check network connectivity and provider credentials, then retry."
                                        : "Run the command again with --verbose and capture the error for debugging.");
  }
  CLIError original = CLIError::usage("unknown_command", "Unknown command: x", "r", {{"command", "x"}});
  CLIError kept = classifyThrown([&] { throw original; });
  EXPECT_EQ(kept.render(OutputFormat::json), original.render(OutputFormat::json));
}

TEST(CLIErrorTest, OutputFormatParsing) {
  EXPECT_EQ(parseOutputFormat("JSON"), OutputFormat::json);
  EXPECT_EQ(parseOutputFormat("Text"), OutputFormat::text);
  try {
    parseOutputFormat("yaml");
    FAIL() << "accepted yaml";
  } catch (const CLIError& error) {
    EXPECT_EQ(error.code(), "invalid_output_format");
    EXPECT_EQ(error.details().at("format"), "yaml");
  }
}

TEST(CLIErrorTest, JsonStringKeepsUnicodeAndSortsNestedKeys) {
  nlohmann::json value = {{"b", {{"z", 1}, {"a", "Ste\u0301phane/x"}}}, {"a", nlohmann::json::array({2, 1})}};
  EXPECT_EQ(jsonString(value), "{\"a\":[2,1],\"b\":{\"a\":\"Ste\u0301phane\\/x\",\"z\":1}}");
  EXPECT_EQ(jsonString(nlohmann::json("bad \xff byte")), "\"bad \xEF\xBF\xBD byte\"") << "invalid UTF-8 never throws";
}

}  // namespace
}  // namespace tvr::cli
