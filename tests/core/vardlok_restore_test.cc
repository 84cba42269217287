// vardlok restore and the restore exchange against the real vl_server on a
// free loopback port: copies made by vl_client backup come back whole, older
// and in part, and a line lost while sections come in is taken up again.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/folders_file.h"
#include "crypto/key_files.h"
#include "crypto/random_pool.h"
#include "crypto/rsa_key.h"
#include "net/restore_act.h"
#include "net/server_connection.h"
#include "net/server_setting.h"
#include "net/start_chunk.h"
#include "platform/os_random.h"
#include "support/loopback.h"
#include "support/temp_dir.h"
#include "vardlok_process.h"

namespace vl {
namespace {

#ifdef VL_SERVER_PATH

using test::Computer;
using test::RunningServer;

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
      const int server = test::connectLoopback(static_cast<uint16_t>(server_port_));
      if (server >= 0) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          requests_.emplace_back();
        }
        relay(client, server, connection == 0 ? cut_after_ : SIZE_MAX);
      }
      if (server >= 0) ::close(server);
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

}  // namespace
}  // namespace vl
