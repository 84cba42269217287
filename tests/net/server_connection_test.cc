#include "net/server_connection.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <thread>

#include "platform/file.h"
#include "tests/net/transport_test_util.h"
#include "tests/support/temp_dir.h"

namespace vl {
namespace {

using test::FakeSystem;
using test::makeChunk;
using test::ScriptedPeer;

// What a scripted exchange saw; it outlives the exchange, which the
// connection destroys.
struct ExchangeLog {
  std::vector<ByteBuffer> received;
  std::vector<std::pair<TransferErrorKind, uint32_t>> errors;
  int reconnects = 0;
  int fallbacks = 0;
  int finished = 0;
  bool destroyed = false;
};

// Answers each chunk with the next scripted answer; with none left, ends.
// Accepts `reconnectsAllowed` reconnects, each opening with a fresh chunk.
class ScriptedExchange : public SendAction {
 public:
  ScriptedExchange(ExchangeLog* log, std::deque<ByteBuffer> answers, int reconnectsAllowed = 0)
      : log_(log), answers_(std::move(answers)), reconnects_allowed_(reconnectsAllowed) {}
  ~ScriptedExchange() override { log_->destroyed = true; }

  bool dispatch(ByteBuffer chunk, ByteBuffer* answer, bool* longWait) override {
    log_->received.push_back(std::move(chunk));
    EXPECT_FALSE(*longWait);
    if (answers_.empty()) return false;
    *answer = std::move(answers_.front());
    answers_.pop_front();
    return true;
  }
  bool reconnect(ByteBuffer* opening) override {
    ++log_->reconnects;
    if (log_->reconnects > reconnects_allowed_) return false;
    *opening = makeChunk(ChunkType::kExchangeStart, 8, static_cast<uint8_t>(log_->reconnects));
    return true;
  }
  void finished() override { ++log_->finished; }
  void reportError(TransferErrorKind kind, uint32_t code) override { log_->errors.emplace_back(kind, code); }
  void addressFallback() override { ++log_->fallbacks; }

 private:
  ExchangeLog* log_;
  std::deque<ByteBuffer> answers_;
  int reconnects_allowed_;
};

// A peer that answers every chunk it reads with a chunk of the next odd type.
void answerEveryChunk(int, TcpSocket& socket) {
  for (;;) {
    ByteBuffer request = test::readChunk(socket);
    if (request.empty()) return;
    ByteBuffer answer = makeChunk(ChunkType::kFileDataResponse, 3, request[request.size() - 1]);
    if (!test::sendBytes(socket, answer.span())) return;
  }
}

class ConnectionFixture : public ::testing::Test {
 protected:
  ServerConnection connection(const ScriptedPeer& peer, const std::string& host = "backup.example") {
    EXPECT_TRUE(peer.listening());
    ServerEndpoint endpoint;
    endpoint.host = host;
    endpoint.port = peer.port();
    TransportOptions options;
    options.system = &system_;
    options.lastAddressPath = dir_.file("last_ip.bin");
    return ServerConnection(endpoint, options);
  }
  std::unique_ptr<ScriptedExchange> exchange(std::deque<ByteBuffer> answers = {}, int reconnects = 0) {
    return std::make_unique<ScriptedExchange>(&log_, std::move(answers), reconnects);
  }
  ByteBuffer opening() { return makeChunk(ChunkType::kExchangeStart, 30); }

  test::TempDir dir_;
  FakeSystem system_;
  ExchangeLog log_;
};

TEST_F(ConnectionFixture, RunTakesTurnsUntilTheExchangeEndsThenDestroysIt) {
  system_.resolved = {test::kLoopbackV4};
  ScriptedPeer peer(1, answerEveryChunk);
  ServerConnection client = connection(peer);
  std::deque<ByteBuffer> answers;
  answers.push_back(makeChunk(ChunkType::kFileData, 5, 40));
  answers.push_back(makeChunk(ChunkType::kFileData, 5, 80));
  ASSERT_TRUE(client.attach(opening(), exchange(std::move(answers))));
  EXPECT_TRUE(client.run());
  ASSERT_EQ(log_.received.size(), 3u);
  // Each answer was to the chunk sent just before it.
  EXPECT_EQ(log_.received[1], makeChunk(ChunkType::kFileDataResponse, 3, 44));
  EXPECT_EQ(log_.received[2], makeChunk(ChunkType::kFileDataResponse, 3, 84));
  EXPECT_EQ(log_.finished, 1);
  EXPECT_TRUE(log_.errors.empty());
  EXPECT_TRUE(log_.destroyed);
  EXPECT_EQ(system_.lastHost, "backup.example");
  EXPECT_FALSE(client.run());  // nothing attached any more
}

TEST_F(ConnectionFixture, AttachRefusesIncompleteChunksAndASecondExchange) {
  ServerConnection client(ServerEndpoint{}, TransportOptions{{}, &system_, dir_.file("last_ip.bin")});
  ByteBuffer cut = opening();
  cut.resize(cut.size() - 1);
  EXPECT_FALSE(client.attach(std::move(cut), exchange()));
  EXPECT_TRUE(log_.destroyed);
  EXPECT_TRUE(client.attach(opening(), exchange()));
  EXPECT_FALSE(client.attach(opening(), exchange()));
  EXPECT_TRUE(log_.errors.empty());
}

TEST_F(ConnectionFixture, ASuccessfulResolutionStoresTheFirstIpv4AddressAsFourBytes) {
  uint8_t six[16] = {};
  six[15] = 1;
  // The IPv6 loopback, where nobody listens, comes first and is passed over.
  system_.resolved = {IpAddress::v6(std::span<const uint8_t, 16>(six)), test::kLoopbackV4,
                      IpAddress::v4FromHost(0xc0000201)};
  ScriptedPeer peer(1, answerEveryChunk);
  ServerConnection client = connection(peer);
  ASSERT_TRUE(client.attach(opening(), exchange()));
  EXPECT_TRUE(client.run());
  EXPECT_EQ(test::readFile(dir_.file("last_ip.bin")), std::string("\x04\0\0\0\x7f\0\0\x01", 8));
  EXPECT_EQ(log_.fallbacks, 0);
}

TEST_F(ConnectionFixture, AFailedResolutionUsesTheStoredAddressAndSaysSoOnce) {
  ASSERT_TRUE(saveLastAddress(test::kLoopbackV4, dir_.file("last_ip.bin")));
  ScriptedPeer peer(1, answerEveryChunk);
  ServerConnection client = connection(peer);
  ASSERT_TRUE(client.attach(opening(), exchange()));
  EXPECT_TRUE(client.run());
  EXPECT_EQ(log_.fallbacks, 1);
  EXPECT_EQ(log_.received.size(), 1u);
  EXPECT_TRUE(log_.errors.empty());
}

TEST_F(ConnectionFixture, AFailedResolutionWithoutAStoredAddressIsNoContactWithTheResolversCode) {
  system_.resolveCode = 3;
  ScriptedPeer peer(0, answerEveryChunk);
  ServerConnection client = connection(peer);
  ASSERT_TRUE(client.attach(opening(), exchange()));
  EXPECT_FALSE(client.run());
  ASSERT_EQ(log_.errors.size(), 1u);
  EXPECT_EQ(log_.errors[0], std::make_pair(TransferErrorKind::kNoContact, 3u));
  EXPECT_EQ(log_.fallbacks, 0);
  EXPECT_TRUE(log_.destroyed);

  // A stored file of the wrong size is no address either.
  test::writeFile(dir_.file("last_ip.bin"), std::string("\x03\0\0\0\x7f\0\0", 7));
  ASSERT_TRUE(client.attach(opening(), exchange()));
  EXPECT_FALSE(client.run());
  EXPECT_EQ(log_.errors.size(), 2u);
  EXPECT_EQ(log_.fallbacks, 0);
  test::writeFile(dir_.file("last_ip.bin"), std::string("\x05\0\0\0\x7f\0\0\x01\0", 9));
  EXPECT_FALSE(loadLastAddress(dir_.file("last_ip.bin"))) << "five bytes are no address either";
}

TEST_F(ConnectionFixture, AnAddressThatCannotBeStoredEndsTheRunBeforeConnecting) {
  system_.resolved = {test::kLoopbackV4};
  ScriptedPeer peer(0, answerEveryChunk);
  ServerEndpoint endpoint;
  endpoint.host = "backup.example";
  endpoint.port = peer.port();
  ServerConnection client(endpoint, TransportOptions{{}, &system_, dir_.file("missing/last_ip.bin")});
  ASSERT_TRUE(client.attach(opening(), exchange()));
  EXPECT_FALSE(client.run());
  ASSERT_EQ(log_.errors.size(), 1u);
  EXPECT_EQ(log_.errors[0], std::make_pair(kGeneralTransferError, 0u));
}

TEST_F(ConnectionFixture, AFixedAddressIsUsedWithoutResolvingOrTouchingLastIp) {
  ScriptedPeer peer(1, answerEveryChunk);
  ServerEndpoint endpoint;
  endpoint.address = 0x7f000001;
  endpoint.port = peer.port();
  ServerConnection client(endpoint, TransportOptions{{}, &system_, dir_.file("last_ip.bin")});
  ASSERT_TRUE(client.attach(opening(), exchange()));
  EXPECT_TRUE(client.run());
  EXPECT_EQ(system_.resolutions, 0);
  EXPECT_TRUE(nameIsFree(dir_.file("last_ip.bin")));
}

TEST_F(ConnectionFixture, ReconnectsWait15SecondsFirstAnd5AfterThatAndAgain15AfterAnAnswer) {
  system_.resolved = {test::kLoopbackV4};
  // Connections 0 to 2 read the opening and drop it; 3 answers once, then
  // drops; 4 drops again, and then the exchange gives up.
  std::vector<ByteBuffer> openings(5);
  ScriptedPeer peer(5, [&](int index, TcpSocket& socket) {
    openings[index] = test::readChunk(socket);
    if (index == 3) {
      ASSERT_TRUE(test::sendBytes(socket, makeChunk(ChunkType::kStartupResponse, 2).span()));
      test::readChunk(socket);
    }
  });
  ServerConnection client = connection(peer);
  std::deque<ByteBuffer> answers;
  answers.push_back(makeChunk(ChunkType::kFileData, 4));
  ASSERT_TRUE(client.attach(opening(), exchange(std::move(answers), /*reconnects=*/4)));
  EXPECT_FALSE(client.run());
  peer.finish();
  EXPECT_EQ(system_.sleeps, (std::vector<uint32_t>{15000, 5000, 5000, 15000}));
  EXPECT_EQ(log_.reconnects, 5);
  // Every new connection began with the exchange's fresh opening chunk.
  EXPECT_EQ(openings[0], opening());
  for (int i = 1; i < 5; ++i) EXPECT_EQ(openings[i], makeChunk(ChunkType::kExchangeStart, 8, static_cast<uint8_t>(i)));
  // The refusal reports the failure that caused it, once.
  ASSERT_EQ(log_.errors.size(), 1u);
  EXPECT_EQ(log_.errors[0], std::make_pair(TransferErrorKind::kConnectionDropped, 0u));
  EXPECT_EQ(log_.finished, 0);
  EXPECT_TRUE(log_.destroyed);
}

TEST_F(ConnectionFixture, AReconnectThatCannotConnectTriesAgainAfter5SecondsAndReportsOnce) {
  system_.resolved = {test::kLoopbackV4};
  ScriptedPeer peer(1, [&](int, TcpSocket& socket) { test::readChunk(socket); });
  ServerConnection client = connection(peer);
  ASSERT_TRUE(client.attach(opening(), exchange({}, /*reconnects=*/2)));
  EXPECT_FALSE(client.run());  // after the drop nobody listens any more
  EXPECT_EQ(system_.sleeps, (std::vector<uint32_t>{15000, 5000}));
  ASSERT_EQ(log_.errors.size(), 1u);
  EXPECT_EQ(log_.errors[0].first, TransferErrorKind::kConnectionDropped);
}

TEST_F(ConnectionFixture, BytesThatAreNotAChunkEndTheExchangeWithoutAReconnect) {
  system_.resolved = {test::kLoopbackV4};
  ScriptedPeer peer(1, [&](int, TcpSocket& socket) {
    test::readChunk(socket);
    const uint8_t junk[] = {'C', 'H', 'X', 0, 20, 0, 0, 0};
    ASSERT_TRUE(test::sendBytes(socket, junk));
    test::readChunk(socket);
  });
  ServerConnection client = connection(peer);
  ASSERT_TRUE(client.attach(opening(), exchange({}, /*reconnects=*/3)));
  EXPECT_FALSE(client.run());
  EXPECT_EQ(log_.reconnects, 0);
  ASSERT_EQ(log_.errors.size(), 1u);
  EXPECT_EQ(log_.errors[0], std::make_pair(kGeneralTransferError, 0u));
  EXPECT_TRUE(log_.received.empty());
}

TEST_F(ConnectionFixture, NobodyListeningIsNoContactWithTheSystemsCode) {
  system_.resolved = {test::kLoopbackV4};
  uint16_t port = 0;
  {
    TcpListener closed;
    ASSERT_TRUE(closed.listen(test::kLoopbackV4, 0));
    port = closed.port();
  }
  ServerEndpoint endpoint;
  endpoint.host = "backup.example";
  endpoint.port = port;
  ServerConnection client(endpoint, TransportOptions{{}, &system_, dir_.file("last_ip.bin")});
  ASSERT_TRUE(client.attach(opening(), exchange({}, 3)));
  EXPECT_FALSE(client.run());
  ASSERT_EQ(log_.errors.size(), 1u);
  EXPECT_EQ(log_.errors[0], std::make_pair(TransferErrorKind::kNoContact, static_cast<uint32_t>(ECONNREFUSED)));
  EXPECT_EQ(log_.reconnects, 0);
}

// A listener that never accepts, its queue filled, so that further
// connection requests go unanswered as they do for a host out of reach.
class UnansweringListener {
 public:
  UnansweringListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(fd_, 0) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    for (TcpSocket& socket : queued_) {
      if (!socket.open(IpAddress::Family::kV4) || !socket.connect(test::kLoopbackV4, port_, 150)) {
        full_ = true;
        return;
      }
    }
  }
  ~UnansweringListener() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool full() const { return full_; }
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  bool full_ = false;
  TcpSocket queued_[8];
};

TEST_F(ConnectionFixture, AServerThatTakesNoConnectionIsNoContactOnceTheConnectLimitPasses) {
  UnansweringListener listener;
  ASSERT_TRUE(listener.full());
  ServerEndpoint endpoint;
  endpoint.address = 0x7f000001;
  endpoint.port = listener.port();
  TransportOptions options{{}, &system_, dir_.file("last_ip.bin")};
  options.timings.connectLimitMs = 150;
  ServerConnection client(endpoint, options);
  ASSERT_TRUE(client.attach(opening(), exchange()));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.run());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  ASSERT_EQ(log_.errors.size(), 1u);
  EXPECT_EQ(log_.errors[0],
            std::make_pair(TransferErrorKind::kNoContact, static_cast<uint32_t>(ETIMEDOUT)));
}

TEST_F(ConnectionFixture, AServerThatStopsReadingIsAFailedSendOnceTheIdleLimitPasses) {
  system_.resolved = {test::kLoopbackV4};
  std::atomic<bool> done{false};
  ScriptedPeer peer(1, [&](int, TcpSocket&) {
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  });
  ServerEndpoint endpoint;
  endpoint.host = "backup.example";
  endpoint.port = peer.port();
  TransportOptions options{{}, &system_, dir_.file("last_ip.bin")};
  options.timings.idleLimitS = 1;
  ServerConnection client(endpoint, options);
  // More than the socket buffers of both ends take.
  ASSERT_TRUE(client.attach(makeChunk(ChunkType::kExchangeStart, 64u << 20), exchange({}, 3)));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.run());
  done = true;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
  ASSERT_EQ(log_.errors.size(), 1u);
  EXPECT_EQ(log_.errors[0],
            std::make_pair(TransferErrorKind::kWriteFailed, static_cast<uint32_t>(ETIMEDOUT)));
}

}  // namespace
}  // namespace vl
