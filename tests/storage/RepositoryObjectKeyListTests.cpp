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

// Blob keys are held as their bytes, other keys as text: one order across both, the first
// size of a repeated key, and keys that only look like blob keys kept exactly as given.
TEST(RepositoryObjectKeyListTests, BlobKeysAndOtherKeysShareOneByteOrder) {
  auto blob = [](char first, char fill) {
    std::string hex = std::string(1, first) + std::string(63, fill);
    return "blobs/" + hex.substr(0, 2) + "/" + hex;
  };
  const std::string a0 = blob('a', '0'), af = blob('a', 'f'), b9 = blob('b', '9'), f0 = blob('f', '0');
  const std::string upper = "blobs/aF/aF" + std::string(62, '0');            // not lowercase
  const std::string wrongShard = "blobs/00/" + std::string(1, 'a') + std::string(63, '0');  // shard is not its start
  const std::string shortKey = "blobs/ab/ab";
  RepositoryObjectKeyList list;
  const std::vector<std::pair<std::string, std::int64_t>> appended = {
      {"repo.json", 1}, {b9, 2},        {upper, 3}, {a0, 4},         {"blobs/a", 5}, {af, 6},
      {b9, 7},          {wrongShard, 8}, {f0, 9},    {"blobs/b", 10}, {shortKey, 11}, {a0, 12},
  };
  for (const auto& [key, size] : appended) list.append(key, size);
  ASSERT_EQ(list.size(), appended.size());
  for (std::size_t i = 0; i < appended.size(); ++i) {
    EXPECT_EQ(list.key(i), appended[i].first) << i;  // the appended order until sorted
    EXPECT_EQ(list.objectSize(i), appended[i].second) << i;
  }
  EXPECT_TRUE(list.contains("repo.json"));
  EXPECT_TRUE(list.contains(af));
  EXPECT_FALSE(list.contains(blob('a', '1')));
  EXPECT_FALSE(list.contains("plans.json"));

  list.sortAndRemoveDuplicates();
  std::vector<std::string> expected = {"repo.json", b9, upper, a0, "blobs/a", af, wrongShard, f0, "blobs/b", shortKey};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(texts(list), expected);
  auto sizeOf = [&](const std::string& key) {
    return list.objectSize(std::find(expected.begin(), expected.end(), key) - expected.begin());
  };
  EXPECT_EQ(sizeOf(a0), 4);
  EXPECT_EQ(sizeOf(b9), 2);
  EXPECT_EQ(sizeOf(upper), 3);
  EXPECT_EQ(sizeOf("repo.json"), 1);
  ASSERT_EQ(list.keys().size(), expected.size());
  EXPECT_EQ(list.keys().back().rawValue(), expected.back());
}

// Many blob keys given out of order (as a folder walk meets them) come back sorted and
// whole across the blocks that hold them, with their sizes.
TEST(RepositoryObjectKeyListTests, ManyBlobKeysSortAcrossBlocks) {
  const char* digits = "0123456789abcdef";
  std::vector<std::string> expected;
  RepositoryObjectKeyList list;
  list.append("repo.json", -1);
  for (std::uint32_t i = 0; i < 70000; ++i) {
    std::uint32_t scrambled = (i * 2654435761u) ^ 0x5bd1e995u;
    std::string hex;
    for (int shift = 28; shift >= 0; shift -= 4) hex += digits[(scrambled >> shift) & 0xF];
    hex += std::string(56, digits[i % 16]);
    std::string key = "blobs/" + hex.substr(0, 2) + "/" + hex;
    expected.push_back(key);
    list.append(key, scrambled);
  }
  expected.push_back("repo.json");
  list.sortAndRemoveDuplicates();
  std::sort(expected.begin(), expected.end());
  ASSERT_TRUE(texts(list) == expected);
  EXPECT_EQ(list.objectSize(list.size() - 1), RepositoryObjectKeyList::kUnknownSize);
  for (std::size_t i = 0; i + 1 < list.size(); i += 9999) {
    std::string key = list.key(i);
    std::uint32_t scrambled = static_cast<std::uint32_t>(std::stoul(key.substr(9, 8), nullptr, 16));
    EXPECT_EQ(list.objectSize(i), scrambled) << key;
  }
}

}  // namespace
}  // namespace tvr
