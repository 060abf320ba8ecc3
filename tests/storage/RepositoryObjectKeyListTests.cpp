#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/storage/RepositoryObjectKeyList.h"

namespace tvr {
namespace {

std::vector<std::string> texts(const RepositoryObjectKeyList& list) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < list.size(); ++i) out.emplace_back(list.key(i));
  return out;
}

TEST(RepositoryObjectKeyListTests, SortsKeepsTheFirstOfEachKeyAndItsSize) {
  RepositoryObjectKeyList list;
  list.append("repo.json", 19);
  list.append("blobs/ff/ff", 3);
  list.append("blobs/0a/0a");
  list.append("blobs/ff/ff", 99);  // a later page repeating a key
  list.append("", 0);
  list.sortAndRemoveDuplicates();
  EXPECT_EQ(texts(list), (std::vector<std::string>{"", "blobs/0a/0a", "blobs/ff/ff", "repo.json"}));
  EXPECT_EQ(list.objectSize(1), RepositoryObjectKeyList::kUnknownSize);
  EXPECT_EQ(list.objectSize(2), 3);
  EXPECT_EQ(list.objectSize(3), 19);
  ASSERT_EQ(list.keys().size(), 4u);
  EXPECT_EQ(list.keys()[3].rawValue(), "repo.json");
}

TEST(RepositoryObjectKeyListTests, KeysAcrossBlockBoundariesStayWhole) {
  // Enough 1,000-byte keys to fill several 1 MiB blocks, and one key larger than a block.
  RepositoryObjectKeyList list;
  std::vector<std::string> expected;
  for (int i = 2999; i >= 0; --i) {
    std::string key = std::to_string(10000 + i) + std::string(995, static_cast<char>('a' + i % 26));
    expected.push_back(key);
    list.append(key, i);
  }
  std::string huge(3 << 20, 'z');
  list.append(huge, -1);
  expected.push_back(huge);
  list.sortAndRemoveDuplicates();
  std::sort(expected.begin(), expected.end());
  EXPECT_TRUE(texts(list) == expected);
  EXPECT_EQ(list.objectSize(0), 0);
  EXPECT_EQ(list.objectSize(2999), 2999);
}

}  // namespace
}  // namespace tvr
