#include "crypto/tag_compare.h"

#include <gtest/gtest.h>

#include <vector>

namespace vl {
namespace {

TEST(TagCompareTest, ADifferenceInAnyByteOrBitIsAMismatch) {
  std::vector<uint8_t> expected(32);
  for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<uint8_t>(i * 37 + 1);
  EXPECT_TRUE(tagsMatch(expected, expected));
  for (size_t i = 0; i < expected.size(); ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      std::vector<uint8_t> received = expected;
      received[i] ^= static_cast<uint8_t>(1 << bit);
      EXPECT_FALSE(tagsMatch(expected, received)) << "byte " << i << " bit " << bit;
    }
  }
}

// A prefix of the right tag, or the right tag with more after it, must not
// pass; nor may two empty tags (what a refused HMAC key gives).
TEST(TagCompareTest, LengthsMustAgreeAndEmptyTagsNeverMatch) {
  const std::vector<uint8_t> expected(32, 0x5a);
  std::vector<uint8_t> shorter(expected.begin(), expected.end() - 1);
  std::vector<uint8_t> longer = expected;
  longer.push_back(0x5a);
  EXPECT_FALSE(tagsMatch(expected, shorter));
  EXPECT_FALSE(tagsMatch(expected, longer));
  EXPECT_FALSE(tagsMatch(expected, {}));
  EXPECT_FALSE(tagsMatch({}, {}));
}

}  // namespace
}  // namespace vl
