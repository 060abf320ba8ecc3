#include <gtest/gtest.h>

#include <string>

#include "engine/crypto/RecoveryPasswordPolicy.h"
#include "platform/Error.h"

namespace tvr {
namespace {

TEST(RecoveryPasswordPolicy, RejectsOnlyLeadingOrTrailingWhitespace) {
  struct Case {
    std::string name;
    std::string password;
    bool accepted;
  } cases[] = {
      {"empty", "", true},
      {"inner spaces", "river stone lantern 42", true},
      {"inner tab and newline", "a\tb\nc", true},
      {"leading space", " river", false},
      {"trailing tab", "river\t", false},
      {"trailing newline", "river\n", false},
      {"trailing carriage return", "river\r", false},
      {"only a space", " ", false},
      {"leading no-break space", "\u00a0river", false},
      {"trailing ideographic space", "river\u3000", false},
      {"trailing line separator", "river\u2028", false},
      {"trailing next line", "river\u0085", false},
      // Not white space: format characters and a space followed by a combining mark.
      {"trailing zero-width space", "river\u200b", true},
      {"space then combining accent", "river \u0301", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.accepted) {
      EXPECT_NO_THROW(RecoveryPasswordPolicy::validate(c.password));
      continue;
    }
    try {
      RecoveryPasswordPolicy::validate(c.password);
      ADD_FAILURE() << "accepted";
    } catch (const Error& error) {
      EXPECT_EQ(error.domain(), "RecoveryPasswordPolicy");
      EXPECT_EQ(error.code(), 1);
      EXPECT_EQ(error.message(), "Recovery password cannot begin or end with whitespace.");
    }
  }
}

TEST(RecoveryPasswordPolicy, WarnsBelowFifteenUserPerceivedCharacters) {
  const std::string flag = "\U0001F1E9\U0001F1EA";                          // one flag, 8 bytes
  const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";  // one cluster
  struct Case {
    std::string name;
    std::string password;
    bool warns;
  } cases[] = {
      {"empty", "", false},
      {"14 ASCII", std::string(14, 'a'), true},
      {"15 ASCII", std::string(15, 'a'), false},
      {"14 clusters with a flag", std::string(13, 'a') + flag, true},
      {"15 clusters with a flag", std::string(14, 'a') + flag, false},
      {"14 clusters with a family emoji", std::string(13, 'a') + family, true},
      {"14 decomposed accented letters",
       [] {
         std::string s;
         for (int i = 0; i < 14; ++i) s += "e\u0301";
         return s;
       }(),
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(RecoveryPasswordPolicy::shouldWarnAboutLength(c.password), c.warns);
  }
}

}  // namespace
}  // namespace tvr
