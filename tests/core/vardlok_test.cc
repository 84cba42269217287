// vardlok against the real vl_server on a free loopback port: the server
// stored, an account created, taken over in a second working directory, and
// the old installation then refused; each vardlok run is a process of its
// own with its own HOME.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/instance_lock.h"
#include "core/state_files.h"
#include "core/usage_files.h"
#include "crypto/key_files.h"
#include "crypto/rsa_test_keys.h"
#include "crypto/random_pool.h"
#include "net/exchange_messages.h"
#include "net/recover_act.h"
#include "net/server_connection.h"
#include "net/server_setting.h"
#include "net/start_chunk.h"
#include "platform/exclusive_file.h"
#include "platform/os_random.h"
#include "support/child_output.h"
#include "support/temp_dir.h"
#include "vardlok_process.h"

namespace vl {
namespace {

using Clock = std::chrono::steady_clock;
using test::Computer;

#ifdef VL_SERVER_PATH

using test::RunningServer;

struct RecoverOutcome {
  std::string swedish;
  bool succeeded = false;
};

struct RecordingRecover : RecoverMainAction {
  RecoverOutcome* outcome;
  explicit RecordingRecover(RecoverOutcome* o) : outcome(o) {}
  void recoverFailed(std::string_view sv, std::string_view) override { outcome->swedish = sv; }
  void recoverSucceeded() override { outcome->succeeded = true; }
};

// A recover exchange from `computer` as it stands, in this process: its own
// installation id and keys, not new ones.
RecoverOutcome recoverAsIs(const Computer& computer) {
  RecoverOutcome outcome;
  RecordingRecover callbacks(&outcome);
  std::optional<ServerSetting> setting = chooseServer(computer.workingFile(kServerSettingFile));
  LocalKeyRecord local;
  ByteBuffer installId;
  EXPECT_TRUE(setting && readLocalKey(computer.workingFile(kLocalKeyFile), &local) &&
              readInstallId(computer.workingFile(kInstallIdFile), &installId));
  if (!setting) return outcome;
  RandomPool pool;
  uint8_t seed[32];
  osRandomBytes(seed, sizeof seed);
  pool.addBytes(seed, true);
  AccountFiles files;
  files.lastCopy = computer.home.file("last-copy.bin");
  files.usage = computer.home.file("usage-copy.bin");
  auto act = std::make_unique<RecoverAct>(&callbacks, &pool, files);
  BuiltStart built;
  const StartChunkInput input{local.userNumber, installId.span(), local.signingKey.span(), true,
                              true};
  EXPECT_TRUE(buildStartChunk(input, setting->key, &pool, &act->keys(), &built));
  act->dhExponent() = std::move(built.dhExponent);
  TransportOptions options;
  options.lastAddressPath = computer.home.file("last_ip.bin");
  ServerConnection connection(setting->endpoint, options);
  EXPECT_TRUE(connection.attach(std::move(built.chunk), std::move(act)));
  connection.run();
  return outcome;
}

TEST(VardlokTest, AnAccountIsCreatedTakenOverAndTheOldInstallationRefused) {
  RunningServer server;
  ASSERT_NE(server.port(), 0) << server.log();
  Computer first, second;
  std::string errors;
  ASSERT_EQ(first.vardlok({"server", server.address(), "--key-record", server.keyRecord()},
                          &errors),
            0)
      << errors;
  const std::string recovery = first.home.file("anna.drf");
  ASSERT_EQ(first.vardlok({"account", "create", recovery, "--name", "Anna Berg",
                           "--organisation", "Berg AB", "--email", "anna@example.org"},
                          &errors),
            0)
      << errors << server.log();
  EXPECT_EQ(std::filesystem::file_size(recovery), 1245u);
  EXPECT_EQ(std::filesystem::file_size(first.workingFile(kLocalKeyFile)), 568u);
  EXPECT_EQ(std::filesystem::file_size(first.workingFile(kLogKeyFile)), 40u);
  EXPECT_EQ(std::filesystem::file_size(first.workingFile(kInstallIdFile)), 16u);
  EXPECT_EQ(test::readFile(first.workingFile(kLastCopyFile)), std::string("\4\0\0\0\0\0\0\0", 8));
  EXPECT_EQ(readServerUsage(first.workingFile(kServerUsageFile)).reserved_gib, 40u);
  EXPECT_NE(server.log().find("Berg AB"), std::string::npos);
  RecoveryRecord record;
  ASSERT_TRUE(readRecovery(recovery, &record));
  LocalKeyRecord firstLocal;
  ASSERT_TRUE(readLocalKey(first.workingFile(kLocalKeyFile), &firstLocal));
  EXPECT_EQ(firstLocal.userNumber, record.userNumber);

  // The first computer uses its account, so the server knows its installation.
  ASSERT_TRUE(recoverAsIs(first).succeeded);

  // Taking the account over on a second computer.
  ASSERT_EQ(second.vardlok({"server", server.address(), "--key-record", server.keyRecord()}), 0);
  ASSERT_EQ(second.vardlok({"account", "recover", recovery}, &errors), 0) << errors;
  LocalKeyRecord secondLocal;
  ASSERT_TRUE(readLocalKey(second.workingFile(kLocalKeyFile), &secondLocal));
  EXPECT_EQ(secondLocal.userNumber, record.userNumber);
  EXPECT_EQ(std::filesystem::file_size(second.workingFile(kLocalKeyFile)), 568u);
  const std::string onDisk = test::readFile(second.workingFile(kLocalKeyFile));
  const std::string privatePart(reinterpret_cast<const char*>(record.encryptionKey.data()) + 256,
                                64);
  EXPECT_EQ(onDisk.find(privatePart), std::string::npos);
  EXPECT_EQ(std::filesystem::file_size(second.workingFile(kLogKeyFile)), 40u);
  EXPECT_NE(test::readFile(second.workingFile(kInstallIdFile)),
            test::readFile(first.workingFile(kInstallIdFile)));
  EXPECT_EQ(readServerUsage(second.workingFile(kServerUsageFile)).reserved_gib, 40u);
  EXPECT_TRUE(std::filesystem::exists(second.workingFile(kLastCopyFile)));

  // The first computer's installation is now someone else's account.
  const RecoverOutcome old = recoverAsIs(first);
  EXPECT_FALSE(old.succeeded);
  EXPECT_EQ(old.swedish, answerCodeMessage(ExchangeKind::kRecover, 5).swedish);
  // The second computer, the owner now, is admitted.
  EXPECT_TRUE(recoverAsIs(second).succeeded);
}

TEST(VardlokTest, ARecoveryFileOfAnAccountTheServerDoesNotKnowGetsCodeOne) {
  RunningServer server;
  ASSERT_NE(server.port(), 0) << server.log();
  Computer computer;
  ASSERT_EQ(computer.vardlok({"server", server.address(), "--key-record", server.keyRecord()}),
            0);
  // A well-formed recovery file for user 9999, whom this server never saw.
  RecoveryRecord record;
  record.userNumber = 9999;
  record.localKey = ByteBuffer(std::vector<uint8_t>(32, 1));
  record.logKey = ByteBuffer(std::vector<uint8_t>(32, 2));
  ByteBuffer full(std::string_view(
      test::readFile(VL_DEV_SERVER_KEY)));  // any 896-byte full-form key
  record.encryptionKey = full;
  ASSERT_EQ(full.size(), 896u);
  record.signingKey = ByteBuffer(full.span().subspan(0, 256));
  ASSERT_TRUE(writeRecovery(computer.home.file("stranger.drf"), record));
  std::string errors;
  EXPECT_EQ(computer.vardlok({"account", "recover", computer.home.file("stranger.drf")}, &errors),
            1);
  EXPECT_NE(errors.find(answerCodeMessage(ExchangeKind::kRecover, 1).swedish), std::string::npos)
      << errors;
}

#endif  // VL_SERVER_PATH

TEST(VardlokTest, CommandLinesAndFailuresBeforeAnyServerAnswers) {
  Computer computer;
  std::string errors;
  EXPECT_EQ(computer.vardlok({"help"}, &errors), 0);
  EXPECT_NE(errors.find("vardlok account recover FILE"), std::string::npos);
  EXPECT_EQ(computer.vardlok({"account", "create", "x.drf", "--name", "A"}), 2);
  EXPECT_EQ(computer.vardlok({"server", "127.0.0.1:99999", "--key-record", "k"}), 2);
  EXPECT_EQ(computer.vardlok({"nonsense"}), 2);
  EXPECT_EQ(computer.vardlok({"account", "recover", computer.home.file("missing.drf")}, &errors),
            1);
  EXPECT_NE(errors.find("Fel: Kunde inte läsa återställningsfil."), std::string::npos);
  test::writeFile(computer.home.file("bad.rec"), std::string(266, '\1'));
  EXPECT_EQ(computer.vardlok({"server", "127.0.0.1:1", "--key-record", computer.home.file("bad.rec")},
                             &errors),
            1);
  EXPECT_NE(errors.find("Fel: Filen innehåller ingen servernyckel."), std::string::npos) << errors;
}

// Keys that existing copies need are never replaced unasked: neither by a
// new account nor by taking another account over. Nothing here reaches a
// server: the refusal comes first.
TEST(VardlokTest, AccountCommandsLeaveAnInstalledAccountAloneWithoutReplace) {
  Computer computer;
  std::filesystem::create_directories(computer.workingFile(""));
  const std::string localKey = computer.workingFile(kLocalKeyFile);
  const ByteBuffer key32(std::vector<uint8_t>(32, 3));
  const ByteBuffer full = test::fixedKeys().encryption.exportFull();
  const ByteBuffer signing = test::fixedKeys().signing.exportPublic();
  ASSERT_TRUE(writeLocalKey(localKey, 3, key32, full, signing));
  ASSERT_TRUE(writeInstallId(computer.workingFile(kInstallIdFile),
                             ByteBuffer(std::vector<uint8_t>(kInstallIdSize, 9))));
  const std::string installedKey = test::readFile(localKey);
  const std::string installedId = test::readFile(computer.workingFile(kInstallIdFile));
  std::string errors;

  EXPECT_EQ(computer.vardlok({"account", "create", computer.home.file("new.drf"), "--name", "A",
                              "--organisation", "B", "--email", "c@d"},
                             &errors),
            1);
  EXPECT_NE(errors.find("--replace"), std::string::npos) << errors;
  EXPECT_FALSE(std::filesystem::exists(computer.home.file("new.drf")));

  RecoveryRecord other;
  other.userNumber = 4;
  other.localKey = key32;
  other.encryptionKey = full;
  other.signingKey = signing;
  other.logKey = key32;
  ASSERT_TRUE(writeRecovery(computer.home.file("other.drf"), other));
  EXPECT_EQ(computer.vardlok({"account", "recover", computer.home.file("other.drf")}, &errors), 1);
  EXPECT_NE(errors.find("--replace"), std::string::npos) << errors;

  EXPECT_TRUE(test::readFile(localKey) == installedKey) << "local_key.bin was replaced";
  EXPECT_TRUE(test::readFile(computer.workingFile(kInstallIdFile)) == installedId)
      << "install_id.bin was replaced";
}

// Every file of `folder` with its bytes.
std::map<std::string, std::string> snapshot(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    files[entry.path().filename().string()] = test::readFile(entry.path().string());
  }
  return files;
}

// While vl_client (interactive or a scheduled backup) holds the working
// directory, no command touches it, and the refusal is told apart from a
// failed task by its exit status.
TEST(VardlokTest, CommandsAreRefusedWhileAnotherInstanceHoldsTheLock) {
  Computer computer;
  std::filesystem::create_directories(computer.workingFile(""));
  ExclusiveFile other;
  ASSERT_TRUE(other.create(computer.workingFile(kInstanceLockFile)));
  ASSERT_TRUE(writeGuiOn(1, computer.workingFile(kGuiOnFile)));
  const auto before = snapshot(computer.workingFile(""));
  std::string errors;

  EXPECT_EQ(computer.vardlok({"account", "create", computer.home.file("new.drf"), "--name", "A",
                              "--organisation", "B", "--email", "c@d"},
                             &errors),
            3);
  EXPECT_NE(errors.find("programmet redan har startats"), std::string::npos) << errors;
  EXPECT_EQ(computer.vardlok({"account", "recover", computer.home.file("missing.drf")}), 3);
  test::writeFile(computer.home.file("bad.rec"), std::string(266, '\1'));
  EXPECT_EQ(computer.vardlok({"server", "127.0.0.1:1", "--key-record", computer.home.file("bad.rec")}),
            3);
  EXPECT_FALSE(std::filesystem::exists(computer.home.file("new.drf")));
  EXPECT_TRUE(snapshot(computer.workingFile("")) == before) << "the working directory changed";
  EXPECT_EQ(computer.vardlok({"help"}), 0);

  // Once the other instance is gone, the command runs (and fails on its own
  // merits) and leaves the record of who runs at "nobody".
  other.close();
  EXPECT_EQ(computer.vardlok({"server", "127.0.0.1:1", "--key-record", computer.home.file("bad.rec")},
                             &errors),
            1);
  EXPECT_NE(errors.find("Fel: Filen innehåller ingen servernyckel."), std::string::npos) << errors;
  EXPECT_EQ(readGuiOn(computer.workingFile(kGuiOnFile)), std::optional<uint32_t>(0));
}

// A lock file that cannot be used is a failure with the system's reason,
// never taken for another instance.
TEST(VardlokTest, AnUnusableLockFileIsAFailureNotAnotherInstance) {
  Computer computer;
  std::filesystem::create_directories(computer.workingFile(kInstanceLockFile));
  std::string errors;
  EXPECT_EQ(computer.vardlok({"account", "recover", computer.home.file("missing.drf")}, &errors),
            1);
  EXPECT_NE(errors.find("Kunde inte låsa filen \"file_mutex\""), std::string::npos) << errors;
}

}  // namespace
}  // namespace vl
