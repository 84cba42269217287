// TcpSocket: one TCP connection, and TcpListener, which accepts them.
//
// The socket is blocking; a caller that must not hang waits for it to become
// readable with a timeout first (waitReadable), and gives connect and send a
// limit: an unreachable host or a peer that stops reading then fails with
// ETIMEDOUT instead of holding the caller for minutes or for ever. Every failing call leaves the
// system's error number in lastError(), which reports show to the user.
// Sending never raises a signal when the peer has gone: it fails instead.
// The handle is closed when the object goes away.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "platform/ip_address.h"

namespace vl {

// What a wait for incoming data found.
enum class SocketWait : uint8_t {
  kReadable,     // data, or the peer's end of the stream, can be read
  kTimedOut,     // nothing happened within the timeout
  kExceptional,  // the socket reported an error or urgent data instead
  kFailed,       // the wait itself failed (lastError says why)
};

// Starts and stops the system's socket library around the use of sockets;
// calls nest. Nothing needs starting on POSIX systems, so these only count.
[[nodiscard]] bool startSocketLibrary();
void stopSocketLibrary();

// No limit on a connect or a send.
inline constexpr uint32_t kWaitForever = 0xffffffffu;

class TcpSocket {
 public:
  TcpSocket() = default;
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;
  TcpSocket(TcpSocket&& other) noexcept;
  TcpSocket& operator=(TcpSocket&& other) noexcept;
  ~TcpSocket();

  // Creates a stream socket for addresses of `family`, closing any socket
  // held before.
  [[nodiscard]] bool open(IpAddress::Family family);
  // Connects the open socket to `address`:`port` (host byte order); the
  // address must be of the family the socket was opened for. A connection
  // not made within `milliseconds` fails with ETIMEDOUT.
  [[nodiscard]] bool connect(const IpAddress& address, uint16_t port,
                             uint32_t milliseconds = kWaitForever);
  // Waits up to `milliseconds` for something to read.
  SocketWait waitReadable(uint32_t milliseconds);
  // Sends what the system takes at once, waiting up to `milliseconds` for
  // room when the peer has not read what went before; the count (at least
  // 1), or nothing on a failure (ETIMEDOUT when no room came).
  std::optional<size_t> send(std::span<const uint8_t> bytes, uint32_t milliseconds = kWaitForever);
  // Receives up to `room.size()` bytes; the count, 0 when the peer has ended
  // the stream, or nothing on a failure.
  std::optional<size_t> receive(std::span<uint8_t> room);
  // Ends the sending direction; the peer reads the end of the stream.
  bool shutdownSending();
  void close();

  bool isOpen() const { return fd_ >= 0; }
  uint32_t lastError() const { return last_error_; }

 private:
  friend class TcpListener;
  explicit TcpSocket(int fd) : fd_(fd) {}
  void noteError();

  int fd_ = -1;
  IpAddress::Family family_ = IpAddress::Family::kV4;
  uint32_t last_error_ = 0;
};

class TcpListener {
 public:
  TcpListener() = default;
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;
  ~TcpListener();

  // Listens on `address`:`port`; port 0 lets the system choose one, which
  // port() then tells.
  [[nodiscard]] bool listen(const IpAddress& address, uint16_t port);
  uint16_t port() const { return port_; }
  // Waits up to `milliseconds` for a connection and accepts it; nothing on
  // a timeout or failure.
  std::optional<TcpSocket> accept(uint32_t milliseconds);
  void close();

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

}  // namespace vl
