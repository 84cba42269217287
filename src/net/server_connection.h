// ServerConnection: the one TCP client through which every exchange talks to
// the backup server.
//
// An exchange (SendAction) is attached with its opening chunk; `run` then
// drives it in strict turns: send one chunk, wait for exactly one complete
// chunk, hand it to the exchange, send what it answers, until the exchange
// says it is done or the connection fails for good. This class is the only
// one that touches the socket. A lost connection is retried as the
// exchange's reconnect policy allows, after 15 s the first time since the
// last answer and 5 s each further time; every new connection starts with
// the fresh opening chunk the exchange gives.
//
// Each failure that ends a run is reported to the exchange exactly once
// (reportError), an orderly end is told by `finished`; a failed attach
// reports nothing. At the end of `run` the exchange is destroyed, whatever
// the outcome. One exchange at a time; the connection has no lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/byte_buffer.h"
#include "net/chunk_receiver.h"
#include "net/last_address.h"
#include "net/send_action.h"
#include "net/server_endpoint.h"
#include "net/transport_system.h"
#include "platform/tcp_socket.h"

namespace vl {

struct TransportOptions {
  TransportTimings timings;
  // The real system when null; tests give their own. Must outlive the
  // connection.
  TransportSystem* system = nullptr;
  // "last_ip.bin" in the working directory unless told otherwise.
  std::string lastAddressPath = kLastAddressFile;
};

class ServerConnection {
 public:
  explicit ServerConnection(const ServerEndpoint& endpoint, TransportOptions options = {});
  ServerConnection(const ServerConnection&) = delete;
  ServerConnection& operator=(const ServerConnection&) = delete;
  // Destroys an attached exchange.
  ~ServerConnection();

  // True when the socket library could not be started.
  bool failed() const { return failed_; }

  // Takes the exchange with the chunk that opens it. Refused (and the
  // exchange destroyed unreported) when `opening` is not a complete chunk
  // or an exchange is attached already.
  [[nodiscard]] bool attach(ByteBuffer opening, std::unique_ptr<SendAction> exchange);

  // Runs the attached exchange to its end and destroys it. True only when
  // the exchange ended normally; false also when none was attached.
  bool run();

  // The kind and system error number of the last failure (general and 0
  // before any).
  TransferErrorKind lastKind() const { return last_kind_; }
  uint32_t lastCode() const { return last_code_; }

 private:
  bool connect(bool quiet);
  bool addressesToTry(bool quiet, std::vector<IpAddress>* addresses);
  bool connectToAny(const std::vector<IpAddress>& addresses, bool quiet);
  void fail(bool quiet, TransferErrorKind kind, uint32_t code);
  bool sendAll();
  ReceiveResult receive();
  bool deliver();
  bool reconnect();
  bool endRun(bool normal);

  ServerEndpoint endpoint_;
  TransportOptions options_;
  TransportSystem& system_;
  TcpSocket socket_;
  ChunkAssembler received_;
  ByteBuffer send_buffer_;
  uint32_t sent_ = 0;  // bytes of send_buffer_ already sent
  uint32_t last_code_ = 0;
  TransferErrorKind last_kind_ = kGeneralTransferError;
  bool long_wait_ = false;
  bool first_retry_ = true;
  bool failed_ = false;
  std::unique_ptr<SendAction> exchange_;
};

}  // namespace vl
