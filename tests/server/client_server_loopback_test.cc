// The client against the server in one process, over a real loopback
// connection: the client's ServerConnection runs SetupAct and then RecoverAct
// (its own code from request to stored files) against the server's TcpServer
// and ConnectionHandler on a free port. What is checked is what both ends
// keep: the client's key and figure files and the server's account table.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "core/usage_files.h"
#include "crypto/key_files.h"
#include "net/account_act_test_util.h"
#include "net/recover_act.h"
#include "net/server_connection.h"
#include "net/setup_act.h"
#include "net/start_chunk.h"
#include "server/program/tcp_server.h"
#include "server_test_util.h"

namespace vl {
namespace {

struct SetupOutcome : SetupMainAction {
  std::string english;
  bool succeeded = false;
  void setupFailed(std::string_view, std::string_view en, uint32_t) override { english = en; }
  void setupSucceeded() override { succeeded = true; }
};

struct RecoverOutcome : RecoverMainAction {
  std::string english;
  bool succeeded = false;
  void recoverFailed(std::string_view, std::string_view en) override { english = en; }
  void recoverSucceeded() override { succeeded = true; }
};

class ClientServerLoopbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(world.keys.ok);
    ListenOptions listen;
    listen.host = "127.0.0.1";
    listen.port = 0;
    std::string bound, error;
    ASSERT_TRUE(server.listen(listen, &bound, &error)) << error;
    port = static_cast<uint16_t>(std::stoi(bound.substr(bound.rfind(':') + 1)));
    serving = std::thread([this] { server.serve(world.context); });
    files.localKey = client.file(kLocalKeyFile);
    files.logKey = client.file(kLogKeyFile);
    files.usage = client.file(kServerUsageFile);
    files.lastCopy = client.file(kLastCopyFile);
    files.installId = client.file(kInstallIdFile);
    recoveryPath = client.file("anna.drf");
  }

  void TearDown() override {
    server.requestStop();
    if (serving.joinable()) serving.join();
  }

  ServerConnection connection() {
    TransportOptions options;
    options.lastAddressPath = client.file("last_ip.bin");
    return ServerConnection(ServerEndpoint{0x7f000001, port, "localhost"}, options);
  }

  // Runs account setup through the real transport; the account number.
  uint32_t setUpAccount() {
    SetupOutcome outcome;
    AccountKeys keys = test::fixedAccountKeys();
    const ByteBuffer signingPublic = keys.signingPublicKey;
    auto act = std::make_unique<SetupAct>(&outcome, &world.keys.pool, std::move(keys),
                                          recoveryPath, 0, files);
    ByteBuffer request = buildSetupRequest(
        accountSetupRecord({"Anna Berg", "Berg & Son", "anna@example.org"}).span(),
        signingPublic.span(), world.serverPublic, &world.keys.pool, &act->keys());
    ServerConnection link = connection();
    EXPECT_TRUE(link.attach(std::move(request), std::move(act)));
    EXPECT_TRUE(link.run());
    EXPECT_TRUE(outcome.succeeded) << outcome.english;
    LocalKeyRecord local;
    EXPECT_TRUE(readLocalKey(files.localKey, &local));
    return local.userNumber;
  }

  // Takes the account over from the recovery file as installation `id`;
  // false when the exchange could not be started or did not end in turn.
  bool recover(std::string_view id, RecoverOutcome* outcome) {
    RecoveryRecord recovery;
    if (!readRecovery(recoveryPath, &recovery)) return false;
    auto act = std::make_unique<RecoverAct>(outcome, &world.keys.pool, files);
    const ByteBuffer installation{id};
    const StartChunkInput input{recovery.userNumber, installation.span(),
                                recovery.signingKey.span(), true, true};
    BuiltStart built;
    if (!buildStartChunk(input, world.serverPublic, &world.keys.pool, &act->keys(), &built)) {
      return false;
    }
    act->dhExponent() = std::move(built.dhExponent);
    ServerConnection link = connection();
    return link.attach(std::move(built.chunk), std::move(act)) && link.run();
  }

  test::ServerWorld world;
  test::TempDir client;
  TcpServer server;
  std::thread serving;
  uint16_t port = 0;
  AccountFiles files;
  std::string recoveryPath;
};

TEST_F(ClientServerLoopbackTest, SetupWritesTheKeyFilesOfTheAccountTheServerMade) {
  const uint32_t account = setUpAccount();
  ASSERT_EQ(account, 1u);
  RecoveryRecord recovery;
  ASSERT_TRUE(readRecovery(recoveryPath, &recovery));
  EXPECT_EQ(recovery.userNumber, account);
  ByteBuffer logKey;
  EXPECT_TRUE(readLogKey(files.logKey, &logKey));
  EXPECT_EQ(readServerUsage(files.usage).reserved_gib, world.context.settings.reservedGib);
  // The server keeps the signing key the client made.
  ByteBuffer registered;
  ASSERT_TRUE(world.store->signingKey(account, &registered));
  EXPECT_EQ(registered, test::fixedAccountKeys().signingPublicKey);
}

TEST_F(ClientServerLoopbackTest, RecoveryOnAnotherInstallationStoresTheFiguresAndTakesOver) {
  ASSERT_EQ(setUpAccount(), 1u);
  RecoverOutcome first;
  ASSERT_TRUE(recover("first installation", &first)) << first.english;
  EXPECT_TRUE(first.succeeded);
  std::filesystem::remove(files.usage);
  std::filesystem::remove(files.lastCopy);

  RecoverOutcome second;
  ASSERT_TRUE(recover("second installation", &second)) << second.english;
  EXPECT_TRUE(second.succeeded);
  EXPECT_FALSE(readLastCopy(files.lastCopy).exists()) << "the account has no copy yet";
  EXPECT_TRUE(std::filesystem::exists(files.lastCopy));
  EXPECT_EQ(readServerUsage(files.usage).reserved_gib, world.context.settings.reservedGib);
  EXPECT_EQ(world.store->installation(1, ByteBuffer(std::string_view("second installation")).span()),
            InstallationStanding::kOwner);
  // The installation it replaced is turned away from now on.
  RecoverOutcome replaced;
  recover("first installation", &replaced);
  EXPECT_FALSE(replaced.succeeded);
  EXPECT_NE(replaced.english.find("another installation"), std::string::npos) << replaced.english;
}

}  // namespace
}  // namespace vl
