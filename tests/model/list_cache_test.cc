#include "model/list_cache.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"

namespace vl {
namespace {

bool exists(const std::string& path) { return std::filesystem::exists(path); }

TEST(ListCacheTest, ListsAreKeptExactlyAsReceivedInOneField) {
  test::TempDir dir;
  const uint8_t record[] = {103, 0, 1, 0, 0, 0, 1, 2, 3};
  ASSERT_TRUE(writeCachedList(4, record, dir.path()));
  EXPECT_EQ(cachedListPath(4, dir.path()), dir.file("list_data_4.bin"));
  // Buffer file: u32 length 13, then the field: u32 length 9 and the record.
  std::string onDisk = test::readFile(dir.file("list_data_4.bin"));
  ASSERT_EQ(onDisk.size(), 4u + 4 + 9);
  EXPECT_EQ(onDisk[0], 13);
  EXPECT_EQ(onDisk[4], 9);
  EXPECT_EQ(readCachedList(4, dir.path()), ByteBuffer(record, sizeof record));
  EXPECT_TRUE(readCachedList(5, dir.path()).empty());
  EXPECT_EQ(cachedListPath(12), "list_data_12.bin");
}

TEST(ListCacheTest, CountIsZeroWhenMissingOrShort) {
  test::TempDir dir;
  EXPECT_EQ(cachedListCount(dir.path()), 0u);
  ASSERT_TRUE(writeCachedListCount(70000, dir.path()));
  EXPECT_EQ(cachedListCount(dir.path()), 70000u);
  test::writeFile(dir.file("list_count.bin"), std::string("\x02\x00\x00\x00\x05\x00", 6));
  EXPECT_EQ(cachedListCount(dir.path()), 0u);
}

TEST(ListCacheTest, ClearDeletesExactlyTheCountedLists) {
  test::TempDir dir;
  const uint8_t record[] = {1};
  for (uint32_t n : {0, 1, 2, 3}) ASSERT_TRUE(writeCachedList(n, record, dir.path()));
  test::writeFile(dir.file("list_data_01.bin"), "x");
  test::writeFile(dir.file("list_data_1.binx"), "x");
  ASSERT_TRUE(writeCachedListCount(3, dir.path()));

  ASSERT_TRUE(clearListCache(dir.path()));
  EXPECT_FALSE(exists(dir.file("list_data_0.bin")));
  EXPECT_FALSE(exists(dir.file("list_data_1.bin")));
  EXPECT_FALSE(exists(dir.file("list_data_2.bin")));
  EXPECT_TRUE(exists(dir.file("list_data_3.bin")));
  EXPECT_TRUE(exists(dir.file("list_data_01.bin")));
  EXPECT_TRUE(exists(dir.file("list_data_1.binx")));
  EXPECT_EQ(test::readFile(dir.file("list_count.bin")), std::string("\x04\0\0\0\0\0\0\0", 8));
}

TEST(ListCacheTest, ClearWithAHugeCountStillOnlyTouchesWhatExists) {
  test::TempDir dir;
  const uint8_t record[] = {1};
  ASSERT_TRUE(writeCachedList(70000, record, dir.path()));
  ASSERT_TRUE(writeCachedListCount(0xFFFFFFFF, dir.path()));
  ASSERT_TRUE(clearListCache(dir.path()));
  EXPECT_FALSE(exists(dir.file("list_data_70000.bin")));
  EXPECT_EQ(cachedListCount(dir.path()), 0u);
}

}  // namespace
}  // namespace vl
