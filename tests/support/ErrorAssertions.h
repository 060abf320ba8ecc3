#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace tvr::test {

// What a tvr::Error must carry: its domain, code and exact message. A row of a case table.
struct ExpectedError {
  std::string domain;
  long code = 0;
  std::string message;
};

// Passes when `body` throws a tvr::Error with exactly the expected domain, code and
// message; otherwise says what it threw instead (or that it threw nothing). Use as
//   EXPECT_TRUE(throwsError([&] { reader.open(blob); }, {"EncryptedBlobCodec", 1, "..."}));
::testing::AssertionResult throwsError(const std::function<void()>& body, const ExpectedError& expected);

}  // namespace tvr::test
