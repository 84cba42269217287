#include "platform/tcp_socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <utility>

namespace vl {
namespace {

std::atomic<int> g_library_users{0};

// The system's address structure for `address`:`port`.
socklen_t makeSockaddr(const IpAddress& address, uint16_t port, sockaddr_storage* out) {
  std::memset(out, 0, sizeof *out);
  if (address.isV4()) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    std::memcpy(&in.sin_addr, address.bytes.data(), 4);
    std::memcpy(out, &in, sizeof in);
    return sizeof in;
  }
  sockaddr_in6 in6{};
  in6.sin6_family = AF_INET6;
  in6.sin6_port = htons(port);
  std::memcpy(&in6.sin6_addr, address.bytes.data(), 16);
  std::memcpy(out, &in6, sizeof in6);
  return sizeof in6;
}

int familyOf(IpAddress::Family family) { return family == IpAddress::Family::kV4 ? AF_INET : AF_INET6; }

// Waits for `events` on `fd`; the events seen, 0 on a timeout, -1 on a failure.
int pollFor(int fd, short events, uint32_t milliseconds) {
  pollfd entry{};
  entry.fd = fd;
  entry.events = events;
  int timeout = milliseconds == kWaitForever ? -1
                : milliseconds > 0x7fffffffu ? 0x7fffffff
                                             : static_cast<int>(milliseconds);
  int ready = ::poll(&entry, 1, timeout);
  if (ready < 0) return errno == EINTR ? 0 : -1;
  return ready == 0 ? 0 : entry.revents;
}

// Waits until `fd` can be written or `milliseconds` have passed, also when
// signals interrupt the wait: 1 writable (or in error, which the next call
// reports), 0 timed out, -1 failed.
int waitWritable(int fd, uint32_t milliseconds) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  for (;;) {
    uint32_t left = kWaitForever;
    if (milliseconds != kWaitForever) {
      const auto spent =
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
      if (spent >= milliseconds) return 0;
      left = milliseconds - static_cast<uint32_t>(spent);
    }
    const int events = pollFor(fd, POLLOUT, left);
    if (events < 0) return -1;
    if (events != 0) return 1;
  }
}

bool setBlocking(int fd, bool blocking) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  return ::fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}

}  // namespace

bool startSocketLibrary() {
  g_library_users.fetch_add(1);
  return true;
}

void stopSocketLibrary() { g_library_users.fetch_sub(1); }

TcpSocket::TcpSocket(TcpSocket&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), family_(other.family_), last_error_(other.last_error_) {}

TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
    family_ = other.family_;
    last_error_ = other.last_error_;
  }
  return *this;
}

TcpSocket::~TcpSocket() { close(); }

void TcpSocket::noteError() { last_error_ = static_cast<uint32_t>(errno); }

bool TcpSocket::open(IpAddress::Family family) {
  close();
  fd_ = ::socket(familyOf(family), SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd_ < 0) {
    noteError();
    return false;
  }
  family_ = family;
  // Chunks go out whole, each followed by a wait for the answer: holding
  // back a chunk's last segment would only add a delay to every exchange.
  int on = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return true;
}

// The connect is started without blocking and then waited for, so that the
// limit is ours and not the system's (minutes of SYN retries).
bool TcpSocket::connect(const IpAddress& address, uint16_t port, uint32_t milliseconds) {
  if (fd_ < 0 || address.family != family_) {
    last_error_ = EINVAL;
    return false;
  }
  sockaddr_storage storage;
  socklen_t length = makeSockaddr(address, port, &storage);
  if (!setBlocking(fd_, false)) {
    noteError();
    return false;
  }
  int error = 0;
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&storage), length) != 0) error = errno;
  if (error == EINPROGRESS || error == EINTR) {
    const int ready = waitWritable(fd_, milliseconds);
    socklen_t size = sizeof error;
    if (ready == 0) {
      error = ETIMEDOUT;
    } else if (ready < 0) {
      error = errno;
    } else if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
      error = errno;
    }
  }
  if (error == 0 && !setBlocking(fd_, true)) error = errno;
  last_error_ = static_cast<uint32_t>(error);
  return error == 0;
}

SocketWait TcpSocket::waitReadable(uint32_t milliseconds) {
  int events = pollFor(fd_, POLLIN | POLLPRI, milliseconds);
  if (events < 0) {
    noteError();
    return SocketWait::kFailed;
  }
  if (events == 0) return SocketWait::kTimedOut;
  // A reset or an ended stream shows as readable too: the read then tells
  // which it was.
  if (events & (POLLIN | POLLHUP)) return SocketWait::kReadable;
  return SocketWait::kExceptional;
}

// Never blocks in the call itself: a full send buffer is waited out with the
// limit, so a peer that stops reading cannot hold the sender for ever.
std::optional<size_t> TcpSocket::send(std::span<const uint8_t> bytes, uint32_t milliseconds) {
  for (;;) {
    ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) return static_cast<size_t>(sent);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const int ready = waitWritable(fd_, milliseconds);
      if (ready > 0) continue;
      if (ready == 0) errno = ETIMEDOUT;
    } else if (sent == 0) {
      errno = EPIPE;
    }
    noteError();
    return std::nullopt;
  }
}

std::optional<size_t> TcpSocket::receive(std::span<uint8_t> room) {
  for (;;) {
    ssize_t got = ::recv(fd_, room.data(), room.size(), 0);
    if (got >= 0) return static_cast<size_t>(got);
    if (errno == EINTR) continue;
    noteError();
    return std::nullopt;
  }
}

bool TcpSocket::shutdownSending() {
  if (fd_ >= 0 && ::shutdown(fd_, SHUT_WR) == 0) return true;
  noteError();
  return false;
}

void TcpSocket::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

TcpListener::~TcpListener() { close(); }

bool TcpListener::listen(const IpAddress& address, uint16_t port) {
  close();
  fd_ = ::socket(familyOf(address.family), SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd_ < 0) return false;
  int on = 1;
  ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_storage storage;
  socklen_t length = makeSockaddr(address, port, &storage);
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&storage), length) != 0 || ::listen(fd_, 16) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
    close();
    return false;
  }
  uint16_t network_port = 0;
  if (storage.ss_family == AF_INET) {
    network_port = reinterpret_cast<const sockaddr_in*>(&storage)->sin_port;
  } else {
    network_port = reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port;
  }
  port_ = ntohs(network_port);
  return true;
}

std::optional<TcpSocket> TcpListener::accept(uint32_t milliseconds) {
  if (fd_ < 0 || pollFor(fd_, POLLIN, milliseconds) <= 0) return std::nullopt;
  int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return std::nullopt;
  return TcpSocket(fd);
}

void TcpListener::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  port_ = 0;
}

}  // namespace vl
