// The client against the server in one process, over a real loopback
// connection: the client's ServerConnection runs SetupAct and then RecoverAct
// (its own code from request to stored files) against the server's TcpServer
// and ConnectionHandler on a free port. What is checked is what both ends
// keep: the client's key and figure files and the server's account table.
// Also the limits TcpServer sets on raw connections: the deadline for the
// opening chunk and the cap on connections from one address.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
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

  void TearDown() override { stopServer(); }

  // After this the log may be read: no connection thread writes any more.
  void stopServer() {
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
  ListenOptions listen;
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

using Clock = std::chrono::steady_clock;

// A server whose limits a test can reach in a second or two; the idle limit
// stays long, so only the limits under test close a connection.
class ConnectionLimitsTest : public ClientServerLoopbackTest {
 protected:
  ConnectionLimitsTest() {
    listen.openingSeconds = 1;
    listen.connectionsPerAddress = 3;
  }

  int connectRaw() const { return test::connectLoopback(port); }
};

// True when the server has closed `fd` within `seconds` (reads give 0).
bool closedWithin(int fd, double seconds) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < deadline) {
    pollfd wait{fd, POLLIN, 0};
    if (::poll(&wait, 1, 20) <= 0) continue;
    uint8_t piece[4096];
    if (::recv(fd, piece, sizeof piece, 0) <= 0) return true;
  }
  return false;
}

TEST_F(ConnectionLimitsTest, ATrickledOpeningChunkIsCutOffWhileAnAdmittedClientStays) {
  // A peer announces a start chunk well under the size limit and then sends
  // a byte every 100 ms: never idle, never complete.
  const int trickler = connectRaw();
  ASSERT_GE(trickler, 0);
  ByteBuffer header;
  appendChunkHeader(header, ChunkType::kExchangeStart);
  header[4] = 0x00;
  header[5] = 0x10;  // 4 KiB announced
  ASSERT_EQ(::send(trickler, header.data(), header.size(), 0),
            static_cast<ssize_t>(header.size()));
  const auto accepted = Clock::now();

  // Meanwhile a client is served, and a start it completes in time is
  // admitted and kept past the opening deadline.
  ASSERT_EQ(setUpAccount(), 1u);
  RecoveryRecord recovery;
  ASSERT_TRUE(readRecovery(recoveryPath, &recovery));
  const ByteBuffer installation{std::string_view("an installation")};
  ExchangeKeys keys(&world.keys.pool);
  BuiltStart built;
  ASSERT_TRUE(buildStartChunk({recovery.userNumber, installation.span(),
                               recovery.signingKey.span(), true, true},
                              world.serverPublic, &world.keys.pool, &keys, &built));
  const int admitted = connectRaw();
  ASSERT_GE(admitted, 0);
  ASSERT_EQ(::send(admitted, built.chunk.data(), built.chunk.size(), 0),
            static_cast<ssize_t>(built.chunk.size()));

  bool cutOff = false;
  while (!cutOff && Clock::now() - accepted < std::chrono::seconds(5)) {
    const uint8_t byte = 0;
    cutOff = ::send(trickler, &byte, 1, MSG_NOSIGNAL) != 1 || closedWithin(trickler, 0.1);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - accepted).count();
  EXPECT_GT(seconds, 0.8);
  EXPECT_LT(seconds, 3);
  ::close(trickler);

  // The admitted connection is still open (its answer is read and dropped).
  EXPECT_FALSE(closedWithin(admitted, 0.5));
  ::close(admitted);
  stopServer();
  EXPECT_TRUE(world.log.mentions("no complete opening chunk within 1 s"));
}

// The same with a long opening deadline, so that only the cap closes.
class ConnectionCapTest : public ConnectionLimitsTest {
 protected:
  ConnectionCapTest() { listen.openingSeconds = 30; }
};

TEST_F(ConnectionCapTest, OneAddressHoldsOnlyItsShareOfConnections) {
  std::vector<int> held;
  for (int i = 0; i < 3; ++i) {
    held.push_back(connectRaw());
    ASSERT_GE(held.back(), 0);
  }
  const int extra = connectRaw();
  ASSERT_GE(extra, 0);
  EXPECT_TRUE(closedWithin(extra, 1)) << "a fourth connection from one address";
  ::close(extra);
  for (int fd : held) EXPECT_FALSE(closedWithin(fd, 0.1));

  // A connection that ends frees its place.
  ::close(held.back());
  held.pop_back();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  held.push_back(connectRaw());
  EXPECT_FALSE(closedWithin(held.back(), 0.5));
  for (int fd : held) ::close(fd);
  stopServer();
  EXPECT_TRUE(world.log.mentions("too many connections from 127.0.0.1"));
}


// A stop closes a connection with no request in hand at once; the grace is
// only for a request still arriving.
TEST_F(ConnectionCapTest, AStopClosesAConnectionBetweenRequestsAtOnce) {
  const int quiet = connectRaw();
  ASSERT_GE(quiet, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto stopping = Clock::now();
  stopServer();
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - stopping).count(),
            listen.stopGraceMilliseconds / 2000.0);
  EXPECT_TRUE(closedWithin(quiet, 0.5));
  ::close(quiet);
}

// Only the server-wide cap closes here: one address may hold more than the
// server takes in all.
class ServerWideCapTest : public ConnectionLimitsTest {
 protected:
  ServerWideCapTest() {
    listen.openingSeconds = 30;
    listen.connectionsPerAddress = 8;
    listen.maxConnections = 2;
  }
};

TEST_F(ServerWideCapTest, ConnectionsBeyondTheCapAreClosedAtOnce) {
  const int first = connectRaw();
  const int second = connectRaw();
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  const int extra = connectRaw();
  ASSERT_GE(extra, 0);
  EXPECT_TRUE(closedWithin(extra, 1)) << "a third connection to a server that takes two";
  EXPECT_FALSE(closedWithin(first, 0.1));
  EXPECT_FALSE(closedWithin(second, 0.1));
  for (int fd : {extra, first, second}) ::close(fd);
  stopServer();
  EXPECT_TRUE(world.log.mentions("closed: too many connections"));
  EXPECT_FALSE(world.log.mentions("too many connections from"));
}

}  // namespace
}  // namespace vl
