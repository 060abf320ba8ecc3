#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/Error.h"

namespace tvr::readertest {

// Passes when `body` throws a tvr::Error with exactly this domain, code and message.
template <class Body>
::testing::AssertionResult throwsError(Body&& body, const std::string& domain, long code, const std::string& message) {
  try {
    body();
  } catch (const Error& error) {
    if (error.domain() == domain && error.code() == code && error.message() == message) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "threw (" << error.domain() << ", " << error.code() << ", \""
                                         << error.message() << "\"), expected (" << domain << ", " << code << ", \""
                                         << message << "\")";
  } catch (const std::exception& other) {
    return ::testing::AssertionFailure() << "threw a non-tvr error: " << other.what();
  }
  return ::testing::AssertionFailure() << "threw nothing, expected \"" << message << "\"";
}

}  // namespace tvr::readertest
