#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "engine/catalog/BackupCatalog.h"
#include "platform/Error.h"

namespace tvr {

// Readable failure output for snapshot entries.
inline void PrintTo(const SnapshotEntry& entry, std::ostream* out) {
  auto date = [](const std::optional<double>& value) { return value ? std::to_string(*value) : std::string("-"); };
  *out << "{" << entry.id << " name=" << entry.name << " relPath=" << entry.relPath
       << " kind=" << snapshotKindName(entry.kind)
       << " size=" << (entry.sizeBytes ? std::to_string(*entry.sizeBytes) : "-") << " created=" << date(entry.createdAt)
       << " modified=" << date(entry.modifiedAt) << " blob=" << entry.blobKey.value_or("-").substr(0, 8) << "}";
}

}  // namespace tvr

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
