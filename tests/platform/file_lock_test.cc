#include "platform/file_lock.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "engine/unprivileged.h"
#include "platform/exclusive_file.h"
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

// Only another holder means "held elsewhere"; a lock file that cannot be
// used at all is a failure with the system's reason.
TEST(FileLock, OnlyAnotherHolderMeansHeldElsewhere) {
  test::TempDir dir;
  const std::string path = dir.file("file_mutex");
  ExclusiveFile holder;
  ASSERT_TRUE(holder.create(path));
  LockOutcome busy = ExclusiveFile().create(path);
  EXPECT_EQ(busy.kind, LockOutcome::Kind::kHeldElsewhere);
  EXPECT_FALSE(busy);
  FileLock lock;
  EXPECT_EQ(lock.acquire(path, FileLock::Wait::kNo).kind, LockOutcome::Kind::kHeldElsewhere);

  // A folder in the lock file's place stops root as well.
  ASSERT_EQ(::mkdir(dir.file("taken_by_a_folder").c_str(), 0700), 0);
  LockOutcome folder = ExclusiveFile().create(dir.file("taken_by_a_folder"));
  EXPECT_EQ(folder.kind, LockOutcome::Kind::kFailed);
  EXPECT_EQ(folder.error, EISDIR);
  EXPECT_FALSE(folder.reason().empty());
  LockOutcome missing = lock.acquire(dir.file("no/such/folder.lock"), FileLock::Wait::kNo);
  EXPECT_EQ(missing.kind, LockOutcome::Kind::kFailed);
  EXPECT_EQ(missing.error, ENOENT);
  EXPECT_FALSE(lock.held());
}

// A lock file left by a run as another user (sudo): we may read it, not
// write it. A lock that only locks still works; the instance lock, which
// empties its file, reports the refusal instead of "another instance".
TEST(FileLock, ALockFileWeMayNotWrite) {
  test::TempDir dir;
  const std::string path = dir.file("logg.lock");
  test::writeFile(path, "");
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  test::openToEveryone(dir.path());
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  auto seen = test::runUnprivileged([&] {
    FileLock lock;
    const LockOutcome plain = lock.acquire(path, FileLock::Wait::kNo);
    lock.release();
    const LockOutcome exclusive = ExclusiveFile().create(path);
    return std::to_string(static_cast<int>(plain.kind)) + " " +
           std::to_string(static_cast<int>(exclusive.kind)) + " " +
           std::to_string(exclusive.error);
  });
  ASSERT_TRUE(seen.has_value());
  EXPECT_EQ(*seen, std::to_string(static_cast<int>(LockOutcome::Kind::kTaken)) + " " +
                       std::to_string(static_cast<int>(LockOutcome::Kind::kFailed)) + " " +
                       std::to_string(EACCES));
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
