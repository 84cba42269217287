#include "platform/file_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/file.h"
#include "support/temp_dir.h"

namespace vl {
namespace {

// Two holders in one process exclude each other, as two processes do.
TEST(FileLock, SecondHolderWaitsForTheFirst) {
  test::TempDir dir;
  const std::string path = dir.file("shared.lock");
  FileLock first;
  ASSERT_TRUE(first.acquire(path));
  std::atomic<bool> entered{false};
  std::thread second([&] {
    FileLock lock;
    EXPECT_TRUE(lock.acquire(path));
    entered = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(entered);
  first.release();
  second.join();
  EXPECT_TRUE(entered);
  EXPECT_FALSE(first.held());
  EXPECT_FALSE(first.acquire(dir.file("no/such/folder.lock")));
}

TEST(FileMove, NeverReplaces) {
  test::TempDir dir;
  test::writeFile(dir.file("from"), "old log");
  test::writeFile(dir.file("taken"), "keep");
  EXPECT_EQ(moveFileNoReplace(dir.file("from"), dir.file("taken")), MoveOutcome::kNameTaken);
  EXPECT_EQ(test::readFile(dir.file("taken")), "keep");
  EXPECT_EQ(moveFileNoReplace(dir.file("from"), dir.file("aside")), MoveOutcome::kMoved);
  EXPECT_TRUE(nameIsFree(dir.file("from")));
  EXPECT_EQ(test::readFile(dir.file("aside")), "old log");
  EXPECT_EQ(moveFileNoReplace(dir.file("from"), dir.file("again")), MoveOutcome::kFailed);
}

}  // namespace
}  // namespace vl
