#include <gtest/gtest.h>

#include <string>

#include "engine/metadata/PlanID.h"

namespace tvr {
namespace {

TEST(PlanID, AcceptsLettersOfAnyScriptAndTheFivePunctuationMarks) {
  struct Case {
    std::string text;
    bool valid;
  } cases[] = {{"family-archive", true}, {"a_b.c:d|e", true}, {"семья", true}, {"写真2024", true}, {"", false},
               {"a b", false},           {"a/b", false},      {"a\tb", false}, {"a+b", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(PlanID::isValid(c.text), c.valid);
  }
}

}  // namespace
}  // namespace tvr
