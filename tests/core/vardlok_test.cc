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

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/folders_file.h"
#include "core/instance_lock.h"
#include "core/state_files.h"
#include "core/usage_files.h"
#include "crypto/key_files.h"
#include "crypto/rsa_test_keys.h"
#include "crypto/random_pool.h"
#include "net/exchange_messages.h"
#include "net/recover_act.h"
#include "net/restore_act.h"
#include "net/server_connection.h"
#include "net/server_setting.h"
#include "net/start_chunk.h"
#include "platform/exclusive_file.h"
#include "platform/os_random.h"
#include "client_world.h"
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


// Copies made by vl_client backup and brought back by vardlok restore on
// another computer that has only the recovery file and the server's setting.
class VardlokRestoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(server.port(), 0) << server.log();
    for (const Computer* computer : {&owner, &helper}) {
      ASSERT_EQ(computer->vardlok({"server", server.address(), "--key-record", server.keyRecord()}),
                0);
    }
    recovery = owner.home.file("anna.drf");
    std::string errors;
    ASSERT_EQ(owner.vardlok({"account", "create", recovery, "--name", "Anna", "--organisation",
                             "Berg AB", "--email", "anna@example.org"},
                            &errors),
              0)
        << errors;
    data = owner.home.file("data");
    std::filesystem::create_directories(data + "/docs");
    ASSERT_TRUE(writeFolderSelection({data}, owner.workingFile(kFoldersFile)));
  }

  // Random bytes that do not compress: a file of more than one section.
  static std::string noise(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    for (char& c : bytes) {
      seed = seed * 1103515245u + 12345u;
      c = static_cast<char>(seed >> 23);
    }
    return bytes;
  }

  int backup(std::string* errors) { return owner.program(VL_CLIENT_PATH, {"backup"}, errors); }

  int restore(std::vector<std::string> args, std::string* errors) {
    args.insert(args.begin(), {"restore", recovery});
    return helper.vardlok(args, errors);
  }

  std::string restored(const std::string& to, const std::string& name) {
    return test::readFile(to + "/RECOVERED_DATA/data/" + name);
  }

  RunningServer server;
  Computer owner, helper;
  std::string recovery, data;
};

TEST_F(VardlokRestoreTest, TheLatestAnOlderCopyAndChosenFilesComeBackAsBackedUp) {
  std::string errors;
  EXPECT_EQ(restore({"--to", helper.home.file("none")}, &errors), 1);
  EXPECT_NE(errors.find("Fel: Hittade ingen säkerhetskopia på servern!"), std::string::npos)
      << errors;

  const std::string big = noise(5 * 1024 * 1024 + 77, 1);
  test::writeFile(data + "/docs/big.bin", big);
  test::writeFile(data + "/docs/same.bin", big);
  test::writeFile(data + "/small.txt", "first version");
  test::writeFile(data + "/empty", "");
  ASSERT_EQ(backup(&errors), 0) << errors << server.log();
  test::writeFile(data + "/small.txt", "second version");
  test::writeFile(data + "/docs/new.txt", "added later");
  ASSERT_EQ(backup(&errors), 0) << errors << server.log();

  const std::string latest = helper.home.file("latest");
  ASSERT_EQ(restore({"--to", latest}, &errors), 0) << errors << server.log();
  // Compared as a whole: a difference in megabytes is no use printed.
  EXPECT_TRUE(restored(latest, "docs/big.bin") == big);
  EXPECT_TRUE(restored(latest, "docs/same.bin") == big);
  EXPECT_EQ(restored(latest, "small.txt"), "second version");
  EXPECT_EQ(restored(latest, "docs/new.txt"), "added later");
  EXPECT_TRUE(std::filesystem::exists(latest + "/RECOVERED_DATA/data/empty"));
  // Nothing of the restore's own stays behind in the working directory.
  for (const auto& entry : std::filesystem::directory_iterator(helper.workingFile(""))) {
    EXPECT_NE(entry.path().filename().string().rfind("file_data_", 0), 0u) << entry.path();
  }
  // The same place again: nothing there is replaced.
  EXPECT_EQ(restore({"--to", latest}, &errors), 1);
  EXPECT_NE(errors.find("Fel: Kunde inte"), std::string::npos) << errors;

  const std::string older = helper.home.file("older");
  ASSERT_EQ(restore({"--to", older, "--copy", "1", "--plain-transport"}, &errors), 0) << errors;
  EXPECT_EQ(restored(older, "small.txt"), "first version");
  EXPECT_TRUE(restored(older, "docs/big.bin") == big);
  EXPECT_FALSE(std::filesystem::exists(older + "/RECOVERED_DATA/data/docs/new.txt"));

  const std::string chosen = helper.home.file("chosen");
  ASSERT_EQ(restore({"--to", chosen, "data/docs/new.txt", "data/small.txt"}, &errors), 0)
      << errors;
  EXPECT_EQ(restored(chosen, "docs/new.txt"), "added later");
  EXPECT_EQ(restored(chosen, "small.txt"), "second version");
  EXPECT_FALSE(std::filesystem::exists(chosen + "/RECOVERED_DATA/data/docs/big.bin"));

  EXPECT_EQ(restore({"--to", helper.home.file("gone"), "--copy", "2"}, &errors), 1);
  EXPECT_NE(errors.find("Fel: Hittade inte säkerhetskopian på servern!"), std::string::npos)
      << errors;
  EXPECT_EQ(restore({"--to", helper.home.file("x"), "--copy", "many"}, &errors), 2);
}


// A TCP relay between a client and the server that cuts its first
// connection once the server has sent `cutAfter` bytes on it, and notes the
// section number of every FileDataRequestChunk that passes (readable with
// transport encryption off), by connection.
class CuttingRelay {
 public:
  CuttingRelay(int serverPort, size_t cutAfter) : server_port_(serverPort), cut_after_(cutAfter) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 4) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~CuttingRelay() {
    stop_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
  }

  uint16_t port() const { return port_; }
  // Section numbers asked for, per connection.
  std::vector<std::vector<uint32_t>> requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  void serve() {
    for (int connection = 0; !stop_; ++connection) {
      pollfd waiting{listener_, POLLIN, 0};
      if (::poll(&waiting, 1, 200) <= 0) continue;
      const int client = ::accept(listener_, nullptr, nullptr);
      if (client < 0) continue;
      const int server = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      address.sin_port = htons(static_cast<uint16_t>(server_port_));
      if (::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          requests_.emplace_back();
        }
        relay(client, server, connection == 0 ? cut_after_ : SIZE_MAX);
      }
      ::close(server);
      ::close(client);
    }
  }

  void relay(int client, int server, size_t cutAfter) {
    size_t fromServer = 0;
    std::string upstream;  // client bytes not yet read as whole chunks
    char buffer[65536];
    while (!stop_) {
      pollfd both[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
      if (::poll(both, 2, 200) < 0) return;
      for (int side = 0; side < 2; ++side) {
        if ((both[side].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        const ssize_t got = ::read(both[side].fd, buffer, sizeof buffer);
        if (got <= 0) return;
        if (side == 0) {
          upstream.append(buffer, static_cast<size_t>(got));
          noteRequests(&upstream);
        } else {
          fromServer += static_cast<size_t>(got);
          if (fromServer >= cutAfter) return;  // the line goes dead
        }
        const int to = side == 0 ? server : client;
        if (::send(to, buffer, static_cast<size_t>(got), MSG_NOSIGNAL) != got) return;
      }
    }
  }

  static uint32_t u32At(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
    return value;
  }

  void noteRequests(std::string* bytes) {
    while (bytes->size() >= 14) {
      const uint32_t total = u32At(*bytes, 4);
      if (total < 14 || bytes->size() < total) return;
      const uint16_t type = static_cast<uint16_t>(static_cast<uint8_t>((*bytes)[8]) |
                                                  static_cast<uint8_t>((*bytes)[9]) << 8);
      // Payload field: u32 length, then u32 sequence and u32 section number.
      if (type == 4 && total >= 14 + 4 + 8) {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.back().push_back(u32At(*bytes, 14 + 4 + 4));
      }
      bytes->erase(0, total);
    }
  }

  int listener_ = -1;
  uint16_t port_ = 0;
  int server_port_;
  size_t cut_after_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::vector<uint32_t>> requests_;
};

struct RecordingRestore : RestoreMainAction {
  std::string english;
  int reconnects = 0;
  bool finished = false;
  void reconnectStarting() override { ++reconnects; }
  void restoreFailed(std::string_view, std::string_view en) override { english = en; }
  void restoreFinished() override { finished = true; }
};

TEST_F(VardlokRestoreTest, ALineLostWhileRequestingIsTakenUpAgainAtTheKeptSection) {
  const std::string first = noise(3 * 1024 * 1024, 2), second = noise(3 * 1024 * 1024, 3);
  test::writeFile(data + "/first.bin", first);
  test::writeFile(data + "/second.bin", second);
  std::string errors;
  ASSERT_EQ(backup(&errors), 0) << errors << server.log();

  // Cut while the third of four sections comes in.
  CuttingRelay relay(server.port(), 5 * 1024 * 1024);
  ASSERT_NE(relay.port(), 0);
  std::optional<ServerSetting> setting = chooseServer(helper.workingFile(kServerSettingFile));
  RecoveryRecord keys;
  ASSERT_TRUE(setting && readRecovery(recovery, &keys));
  RandomPool pool;
  uint8_t seed[32];
  ASSERT_TRUE(osRandomBytes(seed, sizeof seed));
  pool.addBytes(seed, true);
  const std::string target = helper.home.file("target");
  std::filesystem::create_directories(target);
  RecordingRestore callbacks;
  RestoreActSetup setup;
  setup.callbacks = &callbacks;
  setup.pool = &pool;
  setup.server = ServerKey{setting->key.sizeCode, setting->key.keyNumber, setting->key.modulus};
  setup.userNumber = keys.userNumber;
  setup.signingKey = keys.signingKey;
  setup.encrypt = false;
  setup.localKey = keys.localKey;
  setup.writeLog = false;
  setup.workingDirectory = helper.home.path();
  RestoreRequest request;
  request.targetPath = target;
  auto act = std::make_unique<RestoreAct>(std::move(setup), std::move(request));
  ASSERT_TRUE(act->encryptionKey().load(keys.encryptionKey.span(), true, RsaKey::kBits,
                                        RsaKeyKind::kEncryption, &pool));
  BuiltStart built;
  ASSERT_TRUE(buildStartChunk({keys.userNumber, {}, keys.signingKey.span(), false, true},
                              setting->key, &pool, &act->keys(), &built));
  act->dhExponent() = std::move(built.dhExponent);

  TransportOptions options;
  options.lastAddressPath = helper.home.file("last_ip.bin");
  options.timings.firstRetryMs = 50;
  options.timings.laterRetryMs = 50;
  ServerEndpoint endpoint;
  endpoint.address = 0x7f000001;
  endpoint.port = relay.port();
  ServerConnection connection(endpoint, options);
  ASSERT_TRUE(connection.attach(std::move(built.chunk), std::move(act)));
  EXPECT_TRUE(connection.run());
  EXPECT_TRUE(callbacks.finished) << callbacks.english;
  EXPECT_EQ(callbacks.reconnects, 1);
  EXPECT_TRUE(test::readFile(target + "/data/first.bin") == first);
  EXPECT_TRUE(test::readFile(target + "/data/second.bin") == second);

  const std::vector<std::vector<uint32_t>> asked = relay.requests();
  ASSERT_EQ(asked.size(), 2u);
  ASSERT_FALSE(asked[0].empty());
  ASSERT_FALSE(asked[1].empty());
  // The new connection first asks again for the section that was lost.
  EXPECT_EQ(asked[1].front(), asked[0].back());
  EXPECT_EQ(asked[0].size() + asked[1].size(), 5u);  // four sections, one asked twice
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
