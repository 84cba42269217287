// SendAction: the base of every exchange that a ServerConnection drives.
//
// An exchange is a state machine without any I/O: the connection hands it
// each complete chunk that arrives and sends what it answers, so an exchange
// (and a whole client) can be driven by a test or a fuzzer with no socket.
// What the user is told about a failure is the exchange's business; the
// connection only says what kind of failure it was.
//
// All calls come from the thread that runs the connection.
#pragma once

#include <cstdint>

#include "core/byte_buffer.h"
#include "net/exchange_messages.h"

namespace vl {

// A malformed or oversized incoming chunk, or "last_ip.bin" that could not be
// saved: the kind that TransferErrorKind has no name for yet.
inline constexpr TransferErrorKind kGeneralTransferError = static_cast<TransferErrorKind>(8);

class SendAction {
 public:
  SendAction() = default;
  SendAction(const SendAction&) = delete;
  SendAction& operator=(const SendAction&) = delete;
  virtual ~SendAction() = default;

  // A complete chunk (of any type, the exchange checks it) arrived. True:
  // `answer` is the next chunk to send and the exchange goes on; false: the
  // exchange is finished. Setting `longWait` allows the server's next answer
  // 600 s of silence instead of 90 s.
  virtual bool dispatch(ByteBuffer chunk, ByteBuffer* answer, bool* longWait) = 0;

  // The connection was lost. True: try again, with `opening` (the fresh
  // opening chunk of a new handshake) sent first on the new connection;
  // false: give up. By default exchanges do not reconnect.
  virtual bool reconnect(ByteBuffer* opening);

  // The exchange ended because dispatch returned false.
  virtual void finished() {}

  // The one report of a failure that ends the exchange, with the system's
  // error number where there is one (0 otherwise).
  virtual void reportError(TransferErrorKind kind, uint32_t platformCode);

  // The server's name did not resolve and the address stored after the last
  // successful resolution is used instead.
  virtual void addressFallback() {}
};

}  // namespace vl
