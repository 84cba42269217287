#include "platform/file.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/exclusive_file.h"
#include "support/temp_dir.h"

namespace vl {
namespace {

TEST(FileTest, CreateNewRefusesAnExistingFileAndLeavesItAlone) {
  test::TempDir dir;
  test::writeFile(dir.file("kept"), "original");
  File file;
  EXPECT_FALSE(file.createNew(dir.file("kept")));
  EXPECT_EQ(test::readFile(dir.file("kept")), "original");

  ASSERT_TRUE(file.createNew(dir.file("fresh")));
  ASSERT_TRUE(file.write("abc", 3));
  EXPECT_EQ(file.size(), 3u);
  EXPECT_TRUE(file.close());
  EXPECT_EQ(fileSize(dir.file("fresh")), 3u);
}

TEST(FileTest, ReadingSharesTheFileWithAWriter) {
  test::TempDir dir;
  File writer;
  ASSERT_TRUE(writer.createOrTruncate(dir.file("shared")));
  ASSERT_TRUE(writer.write("0123456789", 10));
  File reader;
  ASSERT_TRUE(reader.openForReading(dir.file("shared")));
  char bytes[16] = {};
  EXPECT_EQ(reader.read(bytes, 4), 4u);
  EXPECT_EQ(std::string(bytes, 4), "0123");
  EXPECT_EQ(reader.read(bytes, sizeof bytes), 6u);  // short at the end
  EXPECT_EQ(reader.read(bytes, sizeof bytes), 0u);
}

TEST(FileTest, MissingFilesAndFoldersAreNotFiles) {
  test::TempDir dir;
  File file;
  EXPECT_FALSE(file.openForReading(dir.file("missing")));
  EXPECT_FALSE(file.openForReading(dir.path()));
  EXPECT_FALSE(fileSize(dir.file("missing")));
  EXPECT_FALSE(fileSize(dir.path()));
  EXPECT_FALSE(deleteFile(dir.file("missing")));
  test::writeFile(dir.file("gone"), "x");
  EXPECT_TRUE(deleteFile(dir.file("gone")));
  EXPECT_FALSE(fileSize(dir.file("gone")));
}

// Runs `attempt` in a child process and returns its exit status.
template <typename Attempt>
int inChild(Attempt attempt) {
  pid_t child = ::fork();
  if (child == 0) ::_exit(attempt());
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ExclusiveFileTest, OneHolderAtATimeAcrossProcesses) {
  test::TempDir dir;
  const std::string path = dir.file("file_mutex");
  ExclusiveFile first;
  ASSERT_TRUE(first.create(path));

  ExclusiveFile second;
  EXPECT_FALSE(second.create(path)) << "a second open in the same process";
  EXPECT_EQ(inChild([&] { return ExclusiveFile().create(path) ? 1 : 0; }), 0)
      << "another process got the lock";

  first.close();
  EXPECT_EQ(inChild([&] { return ExclusiveFile().create(path) ? 1 : 0; }), 1);
  EXPECT_TRUE(second.create(path));
}

TEST(ExclusiveFileTest, LockGoesAwayWhenTheHolderDies) {
  test::TempDir dir;
  const std::string path = dir.file("file_mutex");
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t holder = ::fork();
  if (holder == 0) {
    ExclusiveFile lock;
    char byte = lock.create(path) ? 1 : 0;
    (void)!::write(ready[1], &byte, 1);
    ::pause();
    ::_exit(0);
  }
  char held = 0;
  ASSERT_EQ(::read(ready[0], &held, 1), 1);
  ASSERT_EQ(held, 1);
  ExclusiveFile lock;
  EXPECT_FALSE(lock.create(path));
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  EXPECT_TRUE(lock.create(path));
  ::close(ready[0]);
  ::close(ready[1]);
}

TEST(ExclusiveFileTest, TheFileIsEmptiedOnlyByTheNewHolder) {
  test::TempDir dir;
  const std::string path = dir.file("file_mutex");
  test::writeFile(path, "left over from a crash");
  ExclusiveFile lock;
  ASSERT_TRUE(lock.create(path));
  EXPECT_EQ(fileSize(path), 0u);
  EXPECT_FALSE(ExclusiveFile().create(dir.file("no/such/folder/file_mutex")));
}

}  // namespace
}  // namespace vl
