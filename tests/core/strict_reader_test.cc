#include "core/strict_reader.h"

#include <gtest/gtest.h>

#include <vector>

namespace vl {
namespace {

TEST(StrictReaderTest, ReadsLittleEndianIntegersAndFieldsInOrder) {
  const std::vector<uint8_t> bytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x87,
                                      0x02, 0x00, 0x00, 0x00, 'h',  'i',  0xee};
  StrictReader in(bytes);
  uint8_t u8 = 0;
  uint16_t u16 = 0;
  uint32_t u32 = 0;
  std::span<const uint8_t> field;
  std::span<const uint8_t> tail;
  ASSERT_TRUE(in.readU8(&u8));
  ASSERT_TRUE(in.readU16(&u16));
  ASSERT_TRUE(in.readU32(&u32));
  ASSERT_TRUE(in.readCounted(&field));
  EXPECT_EQ(u8, 0x01);
  EXPECT_EQ(u16, 0x0302);
  EXPECT_EQ(u32, 0x87060504u);
  EXPECT_EQ(std::vector<uint8_t>(field.begin(), field.end()), (std::vector<uint8_t>{'h', 'i'}));
  EXPECT_FALSE(in.atEnd());
  ASSERT_TRUE(in.readBytes(1, &tail));
  EXPECT_EQ(tail[0], 0xee);
  EXPECT_TRUE(in.atEnd());
  EXPECT_EQ(in.remaining(), 0u);
}

// A short read must neither move the position nor touch the out-parameter:
// a caller that goes on (or a later read of a shorter width) sees the same
// bytes, never a made-up zero.
TEST(StrictReaderTest, ShortReadsFailWithoutMovingOrFillingAnything) {
  const std::vector<uint8_t> bytes = {0xaa, 0xbb, 0xcc};
  StrictReader in(bytes);
  uint32_t u32 = 7;
  EXPECT_FALSE(in.readU32(&u32));
  EXPECT_EQ(u32, 7u);
  EXPECT_EQ(in.position(), 0u);
  std::span<const uint8_t> piece;
  EXPECT_FALSE(in.readBytes(4, &piece));
  EXPECT_FALSE(in.skip(4));
  EXPECT_EQ(in.position(), 0u);
  uint16_t u16 = 0;
  ASSERT_TRUE(in.readU16(&u16));
  EXPECT_EQ(u16, 0xbbaa);
  EXPECT_FALSE(in.readU16(&u16));
  EXPECT_EQ(u16, 0xbbaa);
  uint8_t u8 = 0;
  ASSERT_TRUE(in.readU8(&u8));
  EXPECT_EQ(u8, 0xcc);
  EXPECT_FALSE(in.readU8(&u8));
  EXPECT_TRUE(in.atEnd());
}

// A field cut short is refused whole, count included, and a count near 2^32
// cannot wrap the bound check around to a small one.
TEST(StrictReaderTest, AFieldCutShortIsRefusedCountAndAll) {
  const std::vector<uint8_t> cut = {0x05, 0x00, 0x00, 0x00, 'a', 'b'};
  StrictReader in(cut);
  std::span<const uint8_t> field;
  EXPECT_FALSE(in.readCounted(&field));
  EXPECT_EQ(in.position(), 0u);
  uint32_t count = 0;
  ASSERT_TRUE(in.readU32(&count));
  EXPECT_EQ(count, 5u);

  const std::vector<uint8_t> huge = {0xff, 0xff, 0xff, 0xff, 'a'};
  StrictReader hugeIn(huge);
  EXPECT_FALSE(hugeIn.readCounted(&field));
  EXPECT_EQ(hugeIn.position(), 0u);

  const std::vector<uint8_t> empty = {0x00, 0x00, 0x00, 0x00};
  StrictReader emptyIn(empty);
  ASSERT_TRUE(emptyIn.readCounted(&field));
  EXPECT_TRUE(field.empty());
  EXPECT_TRUE(emptyIn.atEnd());
}

}  // namespace
}  // namespace vl
