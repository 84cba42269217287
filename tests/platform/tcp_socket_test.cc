#include "platform/tcp_socket.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "platform/name_resolver.h"

namespace vl {
namespace {

const IpAddress kLoopback = IpAddress::v4FromHost(0x7f000001);

struct ConnectedPair {
  TcpListener listener;
  TcpSocket client;
  TcpSocket server;
};

void connectPair(ConnectedPair* pair) {
  ASSERT_TRUE(pair->listener.listen(kLoopback, 0));
  ASSERT_TRUE(pair->client.open(IpAddress::Family::kV4));
  ASSERT_TRUE(pair->client.connect(kLoopback, pair->listener.port()));
  std::optional<TcpSocket> accepted = pair->listener.accept(5000);
  ASSERT_TRUE(accepted);
  pair->server = std::move(*accepted);
}

TEST(TcpSocketTest, BytesCrossALoopbackConnectionAndAnEndedStreamReadsAsZero) {
  ConnectedPair pair;
  connectPair(&pair);
  const uint8_t hello[] = {'C', 'H', 'K', 0, 9};
  ASSERT_EQ(pair.client.send(hello), sizeof hello);
  ASSERT_EQ(pair.server.waitReadable(5000), SocketWait::kReadable);
  uint8_t room[16] = {};
  ASSERT_EQ(pair.server.receive(room), sizeof hello);
  EXPECT_TRUE(std::equal(hello, hello + sizeof hello, room));

  ASSERT_TRUE(pair.server.shutdownSending());
  ASSERT_EQ(pair.client.waitReadable(5000), SocketWait::kReadable);
  EXPECT_EQ(pair.client.receive(room), 0u);
}

TEST(TcpSocketTest, AWaitWithNothingToReadTimesOut) {
  ConnectedPair pair;
  connectPair(&pair);
  EXPECT_EQ(pair.client.waitReadable(20), SocketWait::kTimedOut);
}

TEST(TcpSocketTest, SendingToAClosedPeerFailsWithoutASignal) {
  ConnectedPair pair;
  connectPair(&pair);
  pair.server.close();
  std::vector<uint8_t> bytes(65536, 1);
  // The first sends may still be taken; the peer's reset ends them.
  std::optional<size_t> sent;
  for (int i = 0; i < 100 && (sent = pair.client.send(bytes)); ++i) {
  }
  EXPECT_FALSE(sent);
  EXPECT_TRUE(pair.client.lastError() == EPIPE || pair.client.lastError() == ECONNRESET);
}

TEST(TcpSocketTest, ConnectingWhereNobodyListensGivesTheSystemsCode) {
  TcpListener listener;
  ASSERT_TRUE(listener.listen(kLoopback, 0));
  uint16_t port = listener.port();
  listener.close();
  TcpSocket socket;
  ASSERT_TRUE(socket.open(IpAddress::Family::kV4));
  EXPECT_FALSE(socket.connect(kLoopback, port));
  EXPECT_EQ(socket.lastError(), static_cast<uint32_t>(ECONNREFUSED));
}

// A listener that never accepts and whose queue is full drops further
// connection requests, as a host that cannot be reached does.
TEST(TcpSocketTest, AConnectThatIsNotAnsweredFailsWhenItsLimitPasses) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);

  std::vector<TcpSocket> queued(8);
  const auto start = std::chrono::steady_clock::now();
  bool timedOut = false;
  for (TcpSocket& socket : queued) {
    ASSERT_TRUE(socket.open(IpAddress::Family::kV4));
    if (!socket.connect(kLoopback, ntohs(address.sin_port), 150)) {
      EXPECT_EQ(socket.lastError(), static_cast<uint32_t>(ETIMEDOUT));
      timedOut = true;
      break;
    }
  }
  EXPECT_TRUE(timedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  ::close(listener);
}

TEST(TcpSocketTest, ASendToAPeerThatNeverReadsFailsWhenItsLimitPasses) {
  ConnectedPair pair;
  connectPair(&pair);
  std::vector<uint8_t> bytes(65536, 1);
  std::optional<size_t> sent;
  // Loopback buffers take some megabytes before the sender has to wait.
  for (int i = 0; i < 10000 && (sent = pair.client.send(bytes, 100)); ++i) {
  }
  EXPECT_FALSE(sent);
  EXPECT_EQ(pair.client.lastError(), static_cast<uint32_t>(ETIMEDOUT));
  // Once the peer reads, a send goes through again.
  std::vector<uint8_t> room(1 << 20);
  ASSERT_EQ(pair.server.waitReadable(1000), SocketWait::kReadable);
  ASSERT_TRUE(pair.server.receive(room));
  EXPECT_TRUE(pair.client.send(bytes, 1000));
}

TEST(TcpSocketTest, AnAddressOfAnotherFamilyIsRefusedBeforeConnecting) {
  TcpSocket socket;
  ASSERT_TRUE(socket.open(IpAddress::Family::kV4));
  uint8_t six[16] = {};
  six[15] = 1;
  EXPECT_FALSE(socket.connect(IpAddress::v6(std::span<const uint8_t, 16>(six)), 1));
}

TEST(NameResolverTest, LiteralsResolveToThemselvesInBothFamilies) {
  std::vector<IpAddress> addresses;
  uint32_t code = 0;
  ASSERT_TRUE(resolveHost("192.0.2.7", &addresses, &code));
  ASSERT_FALSE(addresses.empty());
  EXPECT_EQ(addresses[0], IpAddress::v4FromHost(0xc0000207));
  const uint8_t expected[4] = {192, 0, 2, 7};
  EXPECT_TRUE(std::equal(expected, expected + 4, addresses[0].bytes.begin()));

  ASSERT_TRUE(resolveHost("::1", &addresses, &code));
  ASSERT_FALSE(addresses.empty());
  EXPECT_EQ(addresses[0].family, IpAddress::Family::kV6);
  EXPECT_EQ(addresses[0].bytes[15], 1);
  EXPECT_EQ(addresses[0].bytes[0], 0);
}

TEST(NameResolverTest, AnEmptyNameFailsWithACode) {
  std::vector<IpAddress> addresses{kLoopback};
  uint32_t code = 0;
  EXPECT_FALSE(resolveHost("", &addresses, &code));
  EXPECT_TRUE(addresses.empty());
  EXPECT_NE(code, 0u);
}

}  // namespace
}  // namespace vl
