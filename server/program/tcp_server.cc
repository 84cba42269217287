#include "server/program/tcp_server.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <list>
#include <memory>
#include <thread>

#include "core/secure_wipe.h"
#include "crypto/random_pool.h"
#include "platform/os_random.h"
#include "server/protocol/connection_handler.h"

namespace vl {
namespace {

using Clock = std::chrono::steady_clock;

// How often a waiting connection looks at the stop flag.
constexpr int kPollSliceMs = 200;
constexpr size_t kReadPiece = 65536;

struct PeerName {
  std::string address;
  std::string label;
};

PeerName peerName(const sockaddr_storage& peer, socklen_t length) {
  char host[NI_MAXHOST] = "?";
  char port[NI_MAXSERV] = "?";
  getnameinfo(reinterpret_cast<const sockaddr*>(&peer), length, host, sizeof host, port,
              sizeof port, NI_NUMERICHOST | NI_NUMERICSERV);
  return {host, std::string(host) + ":" + port};
}

class Connection {
 public:
  Connection(int fd, PeerName peer, const ServerContext& context, const ListenOptions& options,
             const std::atomic<bool>& stopping)
      : fd_(fd),
        handler_(context, peer.address, peer.label),
        log_(context.log),
        label_(peer.label),
        options_(options),
        address_(peer.address),
        accepted_(Clock::now()),
        stopping_(stopping) {}
  ~Connection() { ::close(fd_); }

  void run();
  bool done() const { return done_.load(); }
  const std::string& address() const { return address_; }
  std::thread& thread() { return thread_; }

 private:
  // True to go on; false when the connection is to close.
  bool waitForBytes(Clock::time_point lastByte, Clock::time_point* stopDeadline);
  // Sends all of `bytes`; false when the peer takes nothing for the idle
  // limit, or, once the server is stopping, for longer than the stop grace.
  bool sendAll(std::span<const uint8_t> bytes);
  void note(const std::string& line) {
    if (log_) log_->write(label_ + ": " + line);
  }

  int fd_;
  ConnectionHandler handler_;
  ServerLog* log_;
  std::string label_;
  const ListenOptions& options_;
  std::string address_;
  Clock::time_point accepted_;
  const std::atomic<bool>& stopping_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

bool Connection::waitForBytes(Clock::time_point lastByte, Clock::time_point* stopDeadline) {
  const auto idleLimit = std::chrono::seconds(options_.idleSeconds);
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (stopping_.load()) {
      // Between requests: nothing in hand, close now. Mid-request: a grace.
      if (handler_.bufferedBytes() == 0) return false;
      if (*stopDeadline == Clock::time_point()) {
        *stopDeadline = now + std::chrono::milliseconds(options_.stopGraceMilliseconds);
      }
      if (now >= *stopDeadline) {
        note("closed: the server is stopping and the request did not complete");
        return false;
      }
    }
    if (!handler_.admitted() &&
        now - accepted_ >= std::chrono::seconds(options_.openingSeconds)) {
      note("closed: no complete opening chunk within " + std::to_string(options_.openingSeconds) +
           " s");
      return false;
    }
    if (now - lastByte >= idleLimit) {
      note("closed: nothing received for " + std::to_string(options_.idleSeconds) + " s" +
           (handler_.bufferedBytes() ? " in the middle of a chunk" : ""));
      return false;
    }
    pollfd wait{fd_, POLLIN, 0};
    const int ready = poll(&wait, 1, kPollSliceMs);
    if (ready < 0 && errno != EINTR) return false;
    if (ready > 0) return true;
  }
}

bool Connection::sendAll(std::span<const uint8_t> bytes) {
  const auto idleLimit = std::chrono::seconds(options_.idleSeconds);
  const auto grace = std::chrono::milliseconds(options_.stopGraceMilliseconds);
  Clock::time_point lastProgress = Clock::now();
  Clock::time_point stopDeadline;
  size_t sent = 0;
  while (sent < bytes.size()) {
    const Clock::time_point now = Clock::now();
    if (stopping_.load()) {
      if (stopDeadline == Clock::time_point()) stopDeadline = now + grace;
      if (now >= stopDeadline) return false;
    }
    if (now - lastProgress >= idleLimit) return false;
    pollfd wait{fd_, POLLOUT, 0};
    const int ready = poll(&wait, 1, kPollSliceMs);
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
    lastProgress = Clock::now();
  }
  return true;
}

void Connection::run() {
  std::unique_ptr<uint8_t[]> piece(new uint8_t[kReadPiece]);
  Clock::time_point lastByte = Clock::now();
  Clock::time_point stopDeadline;
  while (waitForBytes(lastByte, &stopDeadline)) {
    const ssize_t n = ::recv(fd_, piece.get(), kReadPiece, 0);
    if (n == 0) break;  // the peer closed
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      break;
    }
    lastByte = Clock::now();
    HandlerStep step = handler_.receive({piece.get(), static_cast<size_t>(n)});
    if (step.action == HandlerAction::kNeedMore) continue;
    if (step.action == HandlerAction::kClose) break;
    if (!sendAll(step.answer.span())) {
      note("closed: the answer could not be sent");
      break;
    }
    if (step.action == HandlerAction::kSendThenClose || stopping_.load()) break;
  }
  // The client's fresh bytes are not needed any more; a buffer left over
  // from a cut-off chunk is wiped with the handler.
  ::shutdown(fd_, SHUT_RDWR);
  done_.store(true);
}

// Connections from `address` still running; one that has ended but is not
// reaped yet no longer counts.
size_t connectionsFrom(const std::list<std::unique_ptr<Connection>>& connections,
                       const std::string& address) {
  size_t count = 0;
  for (const auto& connection : connections) {
    if (!connection->done() && connection->address() == address) ++count;
  }
  return count;
}

}  // namespace

TcpServer::~TcpServer() {
  if (listen_fd_ >= 0) ::close(listen_fd_);
  for (int fd : wake_pipe_) {
    if (fd >= 0) ::close(fd);
  }
}

bool TcpServer::listen(const ListenOptions& options, std::string* bound, std::string* error) {
  options_ = options;
  if (::pipe2(wake_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = "cannot make a pipe";
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(options.port);
  if (getaddrinfo(options.host.c_str(), port.c_str(), &hints, &found) != 0 || !found) {
    *error = "cannot resolve " + options.host;
    return false;
  }
  for (addrinfo* at = found; at && listen_fd_ < 0; at = at->ai_next) {
    const int fd = ::socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol);
    if (fd < 0) continue;
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, at->ai_addr, at->ai_addrlen) == 0 && ::listen(fd, 128) == 0) {
      listen_fd_ = fd;
    } else {
      ::close(fd);
    }
  }
  freeaddrinfo(found);
  if (listen_fd_ < 0) {
    *error = "cannot listen on " + options.host + ":" + port;
    return false;
  }
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&local), &length);
  char service[NI_MAXSERV] = "?";
  getnameinfo(reinterpret_cast<const sockaddr*>(&local), length, nullptr, 0, service,
              sizeof service, NI_NUMERICSERV);
  *bound = options.host + ":" + service;
  return true;
}

void TcpServer::requestStop() {
  stopping_.store(true);
  const char byte = 1;
  [[maybe_unused]] const ssize_t ignored = ::write(wake_pipe_[1], &byte, 1);
}

void TcpServer::serve(const ServerContext& context) {
  std::list<std::unique_ptr<Connection>> connections;
  auto reap = [&connections] {
    for (auto it = connections.begin(); it != connections.end();) {
      if ((*it)->done()) {
        (*it)->thread().join();
        it = connections.erase(it);
      } else {
        ++it;
      }
    }
  };
  while (!stopping_.load()) {
    pollfd waits[2] = {{listen_fd_, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
    const int ready = poll(waits, 2, 1000);
    reap();
    if (ready <= 0 || !(waits[0].revents & POLLIN)) continue;
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &length,
                             SOCK_CLOEXEC);
    if (fd < 0) continue;
    const PeerName name = peerName(peer, length);
    if (connections.size() >= options_.maxConnections) {
      if (context.log) context.log->write(name.label + ": closed: too many connections");
      ::close(fd);
      continue;
    }
    if (connectionsFrom(connections, name.address) >= options_.connectionsPerAddress) {
      if (context.log) {
        context.log->write(name.label + ": closed: too many connections from " + name.address);
      }
      ::close(fd);
      continue;
    }
    // Fresh entropy for every connection, so that the DH exponents do not
    // all hang on the seed taken at start-up.
    uint8_t fresh[32];
    if (osRandomBytes(fresh, sizeof fresh)) context.pool->addBytes({fresh, sizeof fresh}, false);
    secureWipe(fresh, sizeof fresh);
    auto connection = std::make_unique<Connection>(fd, name, context, options_, stopping_);
    Connection* raw = connection.get();
    connection->thread() = std::thread([raw] { raw->run(); });
    connections.push_back(std::move(connection));
  }
  ::close(listen_fd_);
  listen_fd_ = -1;
  for (auto& connection : connections) connection->thread().join();
}

}  // namespace vl
