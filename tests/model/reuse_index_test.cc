#include "model/reuse_index.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace vl {
namespace {

// The oracle holds keys as strings: GCC 12 at -O3 takes the inlined
// comparison of two byte vectors for an overread of unbounded length.
using Oracle = std::unordered_map<std::string, uint32_t>;

std::string oracleKey(const std::vector<uint8_t>& k) { return std::string(k.begin(), k.end()); }

std::vector<uint8_t> bytesOf(const std::string& k) { return std::vector<uint8_t>(k.begin(), k.end()); }

std::vector<uint8_t> key(std::initializer_list<int> bytes) {
  std::vector<uint8_t> out;
  for (int b : bytes) out.push_back(static_cast<uint8_t>(b));
  return out;
}

TEST(ReuseIndexTest, KeysShorterThanFiveBytesAreNeitherStoredNorFound) {
  ReuseIndex index;
  EXPECT_TRUE(index.insert(key({1, 2, 3, 4}), 7));
  EXPECT_TRUE(index.insert(std::span<const uint8_t>(), 8));
  EXPECT_TRUE(index.empty());
  EXPECT_FALSE(index.find(key({1, 2, 3, 4})));
  EXPECT_TRUE(index.insert(key({1, 2, 3, 4, 5}), 9));
  EXPECT_EQ(index.find(key({1, 2, 3, 4, 5})), 9u);
  // Same first bytes but another length is another key.
  EXPECT_FALSE(index.find(key({1, 2, 3, 4, 5, 0})));
  EXPECT_FALSE(index.find(key({1, 2, 3, 4})));
}

TEST(ReuseIndexTest, MostRecentEqualKeyWinsAlsoAfterTheTableGrows) {
  ReuseIndex index(4);
  std::vector<uint8_t> k = key({9, 9, 9, 9, 9, 9});
  ASSERT_TRUE(index.insert(k, 1));
  ASSERT_TRUE(index.insert(k, 2));
  ASSERT_TRUE(index.insert(7u, 10));
  ASSERT_TRUE(index.insert(7u, 11));
  EXPECT_EQ(index.find(k), 2u);
  EXPECT_EQ(index.find(7u), 11u);
  // Enough other keys to rehash many times over.
  for (uint32_t i = 0; i < 5000; ++i) {
    ASSERT_TRUE(index.insert(key({int(i), int(i >> 8), 1, 2, 3}), i));
    ASSERT_TRUE(index.insert(100000 + i, i));
  }
  EXPECT_EQ(index.find(k), 2u);
  EXPECT_EQ(index.find(7u), 11u);
  ASSERT_TRUE(index.insert(k, 3));
  EXPECT_EQ(index.find(k), 3u);
}

TEST(ReuseIndexTest, IntegerAndByteKeysNeverMatchEachOther) {
  ReuseIndex index;
  ASSERT_TRUE(index.insert(5u, 1));
  EXPECT_FALSE(index.find(key({5, 0, 0, 0, 0})));
  ASSERT_TRUE(index.insert(key({6, 0, 0, 0, 0}), 2));
  EXPECT_FALSE(index.find(6u));
  EXPECT_EQ(index.find(5u), 1u);
  EXPECT_TRUE(index.insert(0u, 3));
  EXPECT_EQ(index.find(0u), 3u);
  EXPECT_TRUE(index.insert(UINT32_MAX, 4));
  EXPECT_EQ(index.find(UINT32_MAX), 4u);
}

TEST(ReuseIndexTest, AgreesWithAMapOnManyRandomKeys) {
  std::mt19937 random(5);
  ReuseIndex index;
  Oracle oracle;
  for (uint32_t i = 0; i < 60000; ++i) {
    // Lengths from 5 to 40, with many repeats of a small key set.
    std::vector<uint8_t> k(5 + random() % 36);
    for (auto& b : k) b = static_cast<uint8_t>(random() % (i % 3 == 0 ? 2 : 256));
    ASSERT_TRUE(index.insert(k, i));
    oracle[oracleKey(k)] = i;
  }
  EXPECT_EQ(index.size(), 60000u);
  for (const auto& [k, value] : oracle) ASSERT_EQ(index.find(bytesOf(k)), value);
  std::vector<uint8_t> absent(32, 0xEE);
  EXPECT_FALSE(index.find(absent));
}

// Keys held by reference follow every rule of copied ones: found by equal
// bytes wherever those live, newest wins among equal keys of either kind,
// short keys are ignored, integer keys never match, and growth keeps it all.
TEST(ReuseIndexTest, ReferencedKeysBehaveAsCopiedOnes) {
  std::mt19937 random(11);
  std::vector<std::vector<uint8_t>> held(30000);
  ReuseIndex index(4);
  Oracle oracle;
  for (uint32_t i = 0; i < held.size(); ++i) {
    held[i].resize(5 + random() % 36);
    for (auto& b : held[i]) b = static_cast<uint8_t>(random() % (i % 3 == 0 ? 2 : 256));
    ASSERT_TRUE(i % 2 ? index.insertReferenced(held[i], i) : index.insert(held[i], i));
    oracle[oracleKey(held[i])] = i;
  }
  for (const auto& [k, value] : oracle) ASSERT_EQ(index.find(bytesOf(k)), value);

  std::vector<uint8_t> shortKey = key({1, 2, 3, 4});
  std::vector<uint8_t> five = key({5, 0, 0, 0, 0});
  EXPECT_TRUE(index.insertReferenced(shortKey, 1));
  EXPECT_FALSE(index.find(shortKey));
  ASSERT_TRUE(index.insert(5u, 2));
  ASSERT_TRUE(index.insertReferenced(five, 3));
  EXPECT_EQ(index.find(5u), 2u);
  EXPECT_EQ(index.find(key({5, 0, 0, 0, 0})), 3u);
  index.clear();
  EXPECT_FALSE(index.find(key({5, 0, 0, 0, 0})));
}

TEST(ReuseIndexTest, ClearForgetsEverythingAndStaysUsable) {
  ReuseIndex index;
  for (uint32_t i = 0; i < 20000; ++i) ASSERT_TRUE(index.insert(i, i));
  ASSERT_TRUE(index.insert(key({1, 2, 3, 4, 5}), 1));
  index.clear();
  EXPECT_TRUE(index.empty());
  EXPECT_FALSE(index.find(17u));
  EXPECT_FALSE(index.find(key({1, 2, 3, 4, 5})));
  ASSERT_TRUE(index.insert(17u, 4));
  EXPECT_EQ(index.find(17u), 4u);
}

}  // namespace
}  // namespace vl
