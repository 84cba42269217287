// The recovery file as the restore and erase dialogs use it: whether it is
// the installed user's, and its erasure by overwriting in place.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "core/backup_system.h"
#include "crypto/key_files.h"
#include "crypto/rsa_test_keys.h"
#include "platform/c_rand.h"
#include "support/temp_dir.h"

namespace vl {
namespace {

using test::fixedKeys;
using test::TempDir;

RecoveryRecord recoveryOf(uint32_t user) {
  RecoveryRecord record;
  record.userNumber = user;
  record.localKey = ByteBuffer(std::string(32, 'L'));
  record.encryptionKey = fixedKeys().encryption.exportFull();
  record.signingKey = fixedKeys().signing.exportShort();
  record.logKey = ByteBuffer(std::string(32, 'G'));
  return record;
}

// The system object makes its working directory the current one, so the
// check runs in a child with its own home; the child's exit status is the
// RecoveryFileUser answer (9 when the system could not be built).
int checkInChild(const std::string& home, const std::string& recoveryFile,
                 std::optional<uint32_t> installedUser) {
  pid_t child = ::fork();
  if (child == 0) {
    ::setenv("HOME", home.c_str(), 1);
    ::unsetenv("XDG_DATA_HOME");
    BackupSystem system;
    if (system.failed()) ::_exit(9);
    if (installedUser) {
      const RecoveryRecord installed = recoveryOf(*installedUser);
      if (!writeLocalKey(kLocalKeyFile, installed.userNumber, installed.localKey,
                         installed.encryptionKey, installed.signingKey)) {
        ::_exit(9);
      }
    }
    system.setRecoveryFile(recoveryFile);
    ::_exit(static_cast<int>(system.checkRecoveryFileUser()));
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(RecoveryFileTest, TheCheckComparesTheFilesUserWithTheInstalledOne) {
  TempDir home;
  const std::string mine = home.file("mine.drf");
  const std::string theirs = home.file("theirs.drf");
  ASSERT_TRUE(writeRecovery(mine, recoveryOf(4242)));
  ASSERT_TRUE(writeRecovery(theirs, recoveryOf(4243)));
  test::writeFile(home.file("broken.drf"), "not a recovery file");

  EXPECT_EQ(checkInChild(home.path(), mine, 4242u), static_cast<int>(RecoveryFileUser::kSameUser));
  EXPECT_EQ(checkInChild(home.path(), theirs, 4242u),
            static_cast<int>(RecoveryFileUser::kOtherUser));
  EXPECT_EQ(checkInChild(home.path(), home.file("broken.drf"), 4242u),
            static_cast<int>(RecoveryFileUser::kUnreadable));
  EXPECT_EQ(checkInChild(home.path(), home.file("missing.drf"), 4242u),
            static_cast<int>(RecoveryFileUser::kUnreadable));
}

TEST(RecoveryFileTest, WithoutAnInstalledAccountEveryReadableFileIsAnotherUsers) {
  TempDir home;
  ASSERT_TRUE(writeRecovery(home.file("mine.drf"), recoveryOf(7)));
  EXPECT_EQ(checkInChild(home.path(), home.file("mine.drf"), std::nullopt),
            static_cast<int>(RecoveryFileUser::kOtherUser));
}

// Every byte is overwritten once, in place, with the low bytes of the C
// generator's sequence; the file keeps its length, also beyond one piece of
// the writer's buffer.
TEST(RecoveryFileTest, ErasingOverwritesEveryByteWithTheGeneratorsSequence) {
  TempDir dir;
  const std::string path = dir.file("account.drf");
  const size_t length = 65536 + 1245;
  test::writeFile(path, std::string(length, '\xAB'));
  const auto inode = std::filesystem::status(path);

  cSrand(12345);
  ASSERT_TRUE(BackupSystem::eraseRecoveryFile(path));
  const std::string after = test::readFile(path);
  ASSERT_EQ(after.size(), length);
  cSrand(12345);
  size_t differing = 0;
  for (size_t i = 0; i < length; ++i) {
    if (static_cast<uint8_t>(after[i]) != static_cast<uint8_t>(cRand())) ++differing;
  }
  EXPECT_EQ(differing, 0u);
  EXPECT_EQ(std::filesystem::status(path).permissions(), inode.permissions());
}

TEST(RecoveryFileTest, ErasingAnEmptyFileSucceedsAndAMissingOneFails) {
  TempDir dir;
  test::writeFile(dir.file("empty.drf"), "");
  EXPECT_TRUE(BackupSystem::eraseRecoveryFile(dir.file("empty.drf")));
  EXPECT_EQ(std::filesystem::file_size(dir.file("empty.drf")), 0u);
  EXPECT_FALSE(BackupSystem::eraseRecoveryFile(dir.file("missing.drf")));
  // A folder cannot be opened for update.
  std::filesystem::create_directory(dir.file("folder.drf"));
  EXPECT_FALSE(BackupSystem::eraseRecoveryFile(dir.file("folder.drf")));
}

}  // namespace
}  // namespace vl
