#include "core/byte_buffer.h"

#include <gtest/gtest.h>

#include <string>

#include "support/temp_dir.h"

namespace vl {
namespace {

TEST(ByteBufferTest, IntegersAreLittleEndianAndReadBack) {
  ByteBuffer buffer;
  buffer.appendU8(0x01);
  buffer.appendU16(0x0302);
  buffer.appendU32(0x07060504);
  buffer.appendU64HighFirst(0x1112131415161718ull);
  const uint8_t expected[] = {1, 2, 3, 4, 5, 6, 7, 0x14, 0x13, 0x12, 0x11, 0x18, 0x17, 0x16, 0x15};
  ASSERT_EQ(buffer.size(), sizeof expected);
  EXPECT_EQ(ByteBuffer(expected, sizeof expected), buffer);
  EXPECT_EQ(buffer.readU8(), 0x01);
  EXPECT_EQ(buffer.readU16(), 0x0302);
  EXPECT_EQ(buffer.readU32(), 0x07060504u);
  EXPECT_EQ(buffer.readU64HighFirst(), 0x1112131415161718ull);
}

TEST(ByteBufferTest, ReadsPastTheEndYieldZeroAndStillAdvance) {
  ByteBuffer buffer;
  buffer.appendU16(0xffff);
  EXPECT_EQ(buffer.readU32(), 0u);
  EXPECT_EQ(buffer.readPosition(), 4u);
  EXPECT_EQ(buffer.readU32(), 0u);
  EXPECT_EQ(buffer.readPosition(), 8u);
  EXPECT_EQ(buffer.peek(1), 0xff);
  EXPECT_EQ(buffer.peek(2), 0);
}

TEST(ByteBufferTest, CountedFieldsFollowTheCutShortRules) {
  ByteBuffer buffer;
  buffer.appendCounted("abc", 3);
  buffer.appendU32(0);
  buffer.appendU32(10);
  buffer.appendBytes("xy", 2);
  EXPECT_EQ(buffer.readCounted(), ByteBuffer(std::string_view("abc")));
  EXPECT_TRUE(buffer.readCounted().empty());  // zero length
  EXPECT_EQ(buffer.readCounted(), ByteBuffer(std::string_view("xy")));  // what remains
  uint32_t end = buffer.readPosition();
  buffer.appendU32(5);  // a length with nothing after it
  EXPECT_TRUE(buffer.readCounted().empty());
  EXPECT_EQ(buffer.readPosition(), end);
}

TEST(ByteBufferTest, CopiesAreDeepAndMovesEmptyTheSource) {
  ByteBuffer original(std::string_view("secret"));
  ByteBuffer copy = original;
  copy[0] = 'S';
  EXPECT_EQ(original[0], 's');
  ByteBuffer moved = std::move(original);
  EXPECT_TRUE(original.empty());  // NOLINT(bugprone-use-after-move): moved-from state is defined
  EXPECT_EQ(moved.size(), 6u);
  moved.resize(2);
  EXPECT_EQ(moved, ByteBuffer(std::string_view("se")));
}

TEST(ByteBufferFileTest, SaveAndLoadRoundTripAcrossPieces) {
  test::TempDir dir;
  ByteBuffer buffer;
  for (uint32_t i = 0; i < 3 * ByteBuffer::kFilePiece + 17; ++i) buffer.appendU8(uint8_t(i * 7));
  ASSERT_TRUE(buffer.saveToFile(dir.file("a.bin")));
  std::string raw = test::readFile(dir.file("a.bin"));
  ASSERT_EQ(raw.size(), buffer.size() + 4u);
  ByteBuffer loaded;
  ProgressCounter progress;
  loaded.setProgress(&progress);
  ASSERT_TRUE(loaded.loadFromFile(dir.file("a.bin")));
  EXPECT_EQ(loaded, buffer);
  EXPECT_EQ(progress.bytes.load(), buffer.size());
}

TEST(ByteBufferFileTest, OversizedLengthIsRefusedAndBufferKept) {
  test::TempDir dir;
  test::writeFile(dir.file("big.bin"), std::string("\x01\x00\x00\x40", 4) + "data");
  ByteBuffer buffer(std::string_view("old"));
  EXPECT_FALSE(buffer.loadFromFile(dir.file("big.bin")));
  EXPECT_EQ(buffer, ByteBuffer(std::string_view("old")));
  test::writeFile(dir.file("short.bin"), std::string("\x10\x00\x00\x00", 4) + "data");
  EXPECT_FALSE(buffer.loadFromFile(dir.file("short.bin")));
  EXPECT_FALSE(buffer.loadFromFile(dir.file("missing.bin")));
  EXPECT_EQ(buffer, ByteBuffer(std::string_view("old")));
}

TEST(ByteBufferFileTest, CancelledSaveStopsAndLeavesOldFileIntact) {
  test::TempDir dir;
  ByteBuffer old(std::string_view("previous contents"));
  ASSERT_TRUE(old.saveToFile(dir.file("s.bin")));
  ByteBuffer big(3 * ByteBuffer::kFilePiece);
  ProgressCounter progress;
  progress.requestCancel();
  big.setProgress(&progress);
  EXPECT_FALSE(big.saveToFile(dir.file("s.bin")));
  ByteBuffer loaded;
  ASSERT_TRUE(loaded.loadFromFile(dir.file("s.bin")));
  EXPECT_EQ(loaded, old);
}

TEST(ByteBufferFileTest, SaveIntoMissingFolderFailsAndFlagsWrite) {
  test::TempDir dir;
  ByteBuffer buffer(std::string_view("x"));
  EXPECT_FALSE(buffer.saveToFile(dir.file("no/such/folder.bin")));
  EXPECT_TRUE(buffer.writeFailed());
}

}  // namespace
}  // namespace vl
