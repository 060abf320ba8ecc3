#include "tests/support/ErrorAssertions.h"

#include "platform/Error.h"

namespace tvr::test {

::testing::AssertionResult throwsError(const std::function<void()>& body, const ExpectedError& expected) {
  try {
    body();
  } catch (const Error& error) {
    if (error.domain() == expected.domain && error.code() == expected.code && error.message() == expected.message) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "threw (" << error.domain() << ", " << error.code() << ", \""
                                         << error.message() << "\"), expected (" << expected.domain << ", "
                                         << expected.code << ", \"" << expected.message << "\")";
  } catch (const std::exception& other) {
    return ::testing::AssertionFailure() << "threw a non-tvr error: " << other.what();
  }
  return ::testing::AssertionFailure() << "threw nothing, expected \"" << expected.message << "\"";
}

}  // namespace tvr::test
