// Helpers for the transport tests: chunks of any size, a system whose clock,
// waits and resolver the test controls, and a raw loopback peer on its own
// thread that does whatever the test scripts for each connection.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/byte_buffer.h"
#include "net/chunk_header.h"
#include "net/chunk_receiver.h"
#include "net/transport_system.h"
#include "platform/tcp_socket.h"

namespace vl::test {

inline const IpAddress kLoopbackV4 = IpAddress::v4FromHost(0x7f000001);

// A complete chunk of `type` whose body is `bodySize` bytes counting up from `seed`.
inline ByteBuffer makeChunk(ChunkType type, size_t bodySize, uint8_t seed = 0) {
  ByteBuffer chunk;
  appendChunkHeader(chunk, type);
  for (size_t i = 0; i < bodySize; ++i) chunk.appendU8(static_cast<uint8_t>(seed + i));
  updateChunkLength(chunk);
  return chunk;
}

// Each read of the clock moves it on by `step` seconds; waits are recorded,
// not waited; names resolve to what the test says, or fail with `code`.
class FakeSystem : public TransportSystem {
 public:
  bool resolve(const std::string& host, std::vector<IpAddress>* addresses, uint32_t* errorCode) override {
    ++resolutions;
    lastHost = host;
    *addresses = resolved;
    *errorCode = resolved.empty() ? resolveCode : 0;
    return !resolved.empty();
  }
  uint32_t seconds() override {
    ++clockReads;
    now += step;
    return now;
  }
  void sleepMilliseconds(uint32_t milliseconds) override { sleeps.push_back(milliseconds); }

  std::vector<IpAddress> resolved;
  uint32_t resolveCode = 2;
  std::atomic<uint32_t> step{0};
  uint32_t now = 0;
  int clockReads = 0;
  int resolutions = 0;
  std::string lastHost;
  std::vector<uint32_t> sleeps;
};

// Reads one chunk as the server would, with the real clock and waits.
inline ByteBuffer readChunk(TcpSocket& socket) {
  ChunkAssembler assembler;
  ReceiveResult result = receiveChunk(socket, assembler, false, TransportTimings{}, systemTransport());
  return result.status == ReceiveStatus::kComplete ? assembler.take() : ByteBuffer();
}

inline bool sendBytes(TcpSocket& socket, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    std::optional<size_t> sent = socket.send(bytes);
    if (!sent) return false;
    bytes = bytes.subspan(*sent);
  }
  return true;
}

// Listens on a loopback port and serves `connections` connections one after
// the other, calling the script with each connection's number (from 0); then
// it stops listening.
class ScriptedPeer {
 public:
  using Script = std::function<void(int, TcpSocket&)>;
  ScriptedPeer(int connections, Script script) {
    listening_ = listener_.listen(kLoopbackV4, 0);
    port_ = listener_.port();
    thread_ = std::thread([this, connections, script = std::move(script)] {
      for (int i = 0; i < connections && listening_; ++i) {
        std::optional<TcpSocket> socket = listener_.accept(10000);
        if (!socket) return;
        script(i, *socket);
        ++served_;
      }
      // Later connections are refused, not left waiting in the backlog.
      listener_.close();
    });
  }
  ~ScriptedPeer() { finish(); }

  // Waits until the peer has served its connections, so that what its
  // script wrote may be read.
  void finish() {
    if (thread_.joinable()) thread_.join();
  }

  bool listening() const { return listening_; }
  uint16_t port() const { return port_; }
  int served() const { return served_; }

 private:
  TcpListener listener_;
  bool listening_ = false;
  uint16_t port_ = 0;
  std::atomic<int> served_{0};
  std::thread thread_;
};

}  // namespace vl::test
