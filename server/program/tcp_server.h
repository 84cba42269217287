// TcpServer: the listening socket and one thread per connection, each
// driving a ConnectionHandler with the bytes it receives.
//
// Limits that keep one peer from tying up the server: at most
// maxConnections at once (more are closed at once and logged); a connection
// on which nothing arrives for idleSeconds is closed, also in the middle of
// a chunk, so a header announcing a long chunk followed by silence costs a
// thread only until then; the handler itself bounds what it buffers. A
// connection that has not delivered a whole opening chunk (start or account
// setup) openingSeconds after it was accepted is closed, however slowly the
// bytes keep coming, and one network address holds at most
// connectionsPerAddress connections at once (more are closed at once and
// logged), so a single peer cannot take every slot.
//
// Stopping (requestStop, safe to call from a signal handler): no new
// connections are taken; a connection finishes the request it has received
// and sends its answer, a request still arriving gets a short grace, then
// every connection closes and serve() returns once all threads are joined.
// An answer the peer does not take gets the same grace, not the idle limit.
// Nothing is ever half-written: the stores commit before an answer is sent.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "server/protocol/server_context.h"

namespace vl {

struct ListenOptions {
  std::string host = "0.0.0.0";
  uint16_t port = 55502;
  uint32_t idleSeconds = 120;
  uint32_t maxConnections = 64;
  // From accepting a connection to its complete opening chunk.
  uint32_t openingSeconds = 30;
  uint32_t connectionsPerAddress = 8;
  // How long a request already arriving may take to complete once a stop
  // is requested.
  uint32_t stopGraceMilliseconds = 5000;
};

class TcpServer {
 public:
  TcpServer() = default;
  TcpServer(const TcpServer&) = delete;
  TcpServer& operator=(const TcpServer&) = delete;
  ~TcpServer();

  // Binds and listens; `bound` gets "HOST:PORT" with the port really bound
  // (so port 0 shows the one picked).
  [[nodiscard]] bool listen(const ListenOptions& options, std::string* bound, std::string* error);
  // Serves connections until requestStop; returns when every connection
  // thread has ended.
  void serve(const ServerContext& context);
  // Async-signal-safe.
  void requestStop();

 private:
  ListenOptions options_;
  int listen_fd_ = -1;
  int wake_pipe_[2] = {-1, -1};
  std::atomic<bool> stopping_{false};
};

}  // namespace vl
