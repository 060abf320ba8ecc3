#include <gtest/gtest.h>

#include <string>

#include "engine/storage/RepositoryObjectKey.h"
#include "platform/Error.h"

namespace tvr {
namespace {

TEST(RepositoryObjectKey, RejectsEmptyAbsoluteAndDotDot) {
  for (std::string bad : {"", "/repo.json", "blobs/../x", "a..b"}) {
    SCOPED_TRACE(bad);
    try {
      RepositoryObjectKey key(bad);
      FAIL() << "accepted";
    } catch (const EngineError& e) {
      EXPECT_EQ(e.message(), "Invalid repository object key: " + bad);
    }
  }
  EXPECT_EQ(RepositoryObjectKey("blobs/ab/ab12").rawValue(), "blobs/ab/ab12");
}

}  // namespace
}  // namespace tvr
