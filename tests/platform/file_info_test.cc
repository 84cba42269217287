#include "platform/file_info.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/temp_dir.h"

namespace vl {
namespace {

using test::TempDir;
using test::writeFile;

TEST(FileTime, ConvertsAroundTheEpochs) {
  EXPECT_EQ(fileTimeFromUnix(0, 0), 116444736000000000ull);
  EXPECT_EQ(fileTimeFromUnix(-kFileTimeEpochOffset, 0), 0u);
  // Before 1601 there is nothing to count from.
  EXPECT_EQ(fileTimeFromUnix(-kFileTimeEpochOffset - 1, 999999999), 0u);
  // A time before 1970 (negative seconds, positive nanoseconds).
  FileTime before = fileTimeFromUnix(-1, 500000000);
  EXPECT_EQ(before, 116444736000000000ull - 5000000);
  int64_t seconds = 0;
  uint32_t nanoseconds = 0;
  unixFromFileTime(before, &seconds, &nanoseconds);
  EXPECT_EQ(seconds, -1);
  EXPECT_EQ(nanoseconds, 500000000u);
  // Sub-100 ns digits are dropped, not rounded.
  unixFromFileTime(fileTimeFromUnix(1700000000, 123456789), &seconds, &nanoseconds);
  EXPECT_EQ(seconds, 1700000000);
  EXPECT_EQ(nanoseconds, 123456700u);
}

TEST(FileInfo, ProducesOnlyTheKeptAttributeBits) {
  TempDir dir;
  writeFile(dir.file("plain.txt"), "12345");
  writeFile(dir.file(".hidden"), "");
  ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0755), 0);
  ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0644), 0);

  FileInfo info;
  ASSERT_TRUE(readFileInfo(dir.file("plain.txt"), &info));
  EXPECT_EQ(info.kind, FileKind::kRegular);
  EXPECT_EQ(info.size, 5u);
  EXPECT_EQ(info.attributes, kAttributeArchive);

  ASSERT_TRUE(readFileInfo(dir.file(".hidden"), &info));
  EXPECT_EQ(info.attributes, kAttributeArchive | kAttributeHidden);

  ASSERT_TRUE(readFileInfo(dir.file("sub") + "/", &info));
  EXPECT_EQ(info.kind, FileKind::kFolder);
  EXPECT_EQ(info.attributes, 0u);
  EXPECT_EQ(info.size, 0u);

  ASSERT_TRUE(readFileInfo(dir.file("pipe"), &info));
  EXPECT_EQ(info.kind, FileKind::kOther);

  ASSERT_TRUE(setFileAttributes(dir.file("plain.txt"), kAttributeReadOnly | kAttributeHidden));
  ASSERT_TRUE(readFileInfo(dir.file("plain.txt"), &info));
  EXPECT_EQ(info.attributes, kAttributeArchive | kAttributeReadOnly);
  struct stat st {};
  ASSERT_EQ(::stat(dir.file("plain.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);
  ASSERT_TRUE(setFileAttributes(dir.file("plain.txt"), kAttributeArchive));
  ASSERT_TRUE(readFileInfo(dir.file("plain.txt"), &info));
  EXPECT_EQ(info.attributes, kAttributeArchive);

  EXPECT_FALSE(readFileInfo(dir.file("missing"), &info));
}

TEST(FileInfo, SymlinksFollowedOrDescribedThemselves) {
  TempDir dir;
  writeFile(dir.file("target"), "abc");
  ASSERT_EQ(::symlink("target", dir.file("link").c_str()), 0);
  int fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  FileInfo info;
  ASSERT_TRUE(readFileInfoAt(fd, "link", true, &info));
  EXPECT_EQ(info.kind, FileKind::kRegular);
  EXPECT_EQ(info.size, 3u);
  ASSERT_TRUE(readFileInfoAt(fd, "link", false, &info));
  EXPECT_EQ(info.kind, FileKind::kOther);
  EXPECT_TRUE(info.is_symlink);
  ::close(fd);
}

TEST(FileInfo, TimesRoundTripOnFilesAndFolders) {
  TempDir dir;
  writeFile(dir.file("f"), "x");
  ASSERT_EQ(::mkdir(dir.file("d").c_str(), 0755), 0);
  // 2001-09-09 01:46:40.1234567 and a time before 1970.
  const FileTime write_time = fileTimeFromUnix(1000000000, 123456700);
  const FileTime access_time = fileTimeFromUnix(-86400 * 365, 0);
  for (const char* name : {"f", "d"}) {
    ASSERT_TRUE(setFileTimes(dir.file(name), 0, access_time, write_time)) << name;
    FileInfo info;
    ASSERT_TRUE(readFileInfo(dir.file(name), &info));
    EXPECT_EQ(info.last_write_time, write_time) << name;
    EXPECT_EQ(info.last_access_time, access_time) << name;
    EXPECT_NE(info.creation_time, 0u) << name;
  }
  // A zero time leaves that time alone.
  const FileTime later = write_time + 10000000;
  ASSERT_TRUE(setFileTimes(dir.file("f"), 0, 0, later));
  FileInfo info;
  ASSERT_TRUE(readFileInfo(dir.file("f"), &info));
  EXPECT_EQ(info.last_write_time, later);
  EXPECT_EQ(info.last_access_time, access_time);
  EXPECT_FALSE(setFileTimes(dir.file("missing"), 0, access_time, write_time));

  // Through an open handle, as a restore sets a file it has just written.
  int fd = ::open(dir.file("f").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(setOpenFileTimes(fd, 0, access_time, write_time));
  ::close(fd);
  ASSERT_TRUE(readFileInfo(dir.file("f"), &info));
  EXPECT_EQ(info.last_write_time, write_time);
  EXPECT_EQ(info.last_access_time, access_time);
}

}  // namespace
}  // namespace vl
