#include <gtest/gtest.h>

#include <filesystem>
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

TEST(RepositoryObjectKey, PlacesBlobsUnderTheirFirstTwoDigits) {
  const std::string key(64, 'a');
  EXPECT_EQ(RepositoryObjectKey::forBlob(key).rawValue(), "blobs/aa/" + key);
  EXPECT_EQ(RepositoryObjectKey::blobPath("/repo", key), std::filesystem::path("/repo/blobs/aa/" + key));
  EXPECT_THROW(RepositoryObjectKey::forBlob("../x"), EngineError);
  struct Case {
    std::string text;
    bool blobKey;
  } cases[] = {{key, true},
               {"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef", true},
               {std::string(63, 'a'), false},
               {std::string(65, 'a'), false},
               {std::string(63, 'a') + "A", false},
               {std::string(63, 'a') + "g", false},
               {std::string(62, 'a') + "/x", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(RepositoryObjectKey::isBlobKey(c.text), c.blobKey);
  }
}

}  // namespace
}  // namespace tvr
