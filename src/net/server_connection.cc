#include "net/server_connection.h"

#include <utility>

namespace vl {

ServerConnection::ServerConnection(const ServerEndpoint& endpoint, TransportOptions options)
    : endpoint_(endpoint),
      options_(std::move(options)),
      system_(options_.system != nullptr ? *options_.system : systemTransport()) {
  failed_ = !startSocketLibrary();
}

ServerConnection::~ServerConnection() {
  exchange_.reset();
  socket_.close();
  if (!failed_) stopSocketLibrary();
}

bool ServerConnection::attach(ByteBuffer opening, std::unique_ptr<SendAction> exchange) {
  if (exchange == nullptr || exchange_ != nullptr || !isCompleteChunk(opening.span())) return false;
  exchange_ = std::move(exchange);
  send_buffer_ = std::move(opening);
  sent_ = 0;
  long_wait_ = false;
  first_retry_ = true;
  return true;
}

// A failure while connecting. The first connect reports it; a reconnect
// (quiet) only keeps it, since the exchange may still try again and the
// report comes once, when it gives up.
void ServerConnection::fail(bool quiet, TransferErrorKind kind, uint32_t code) {
  if (quiet) {
    last_kind_ = kind;
    last_code_ = code;
  } else {
    exchange_->reportError(kind, code);
  }
}

bool ServerConnection::addressesToTry(bool quiet, std::vector<IpAddress>* addresses) {
  addresses->clear();
  if (endpoint_.address != 0) {
    addresses->push_back(IpAddress::v4FromHost(endpoint_.address));
    return true;
  }
  uint32_t code = 0;
  if (system_.resolve(endpoint_.host, addresses, &code)) {
    for (const IpAddress& address : *addresses) {
      if (!address.isV4()) continue;
      if (!saveLastAddress(address, options_.lastAddressPath)) {
        fail(quiet, kGeneralTransferError, 0);
        return false;
      }
      break;
    }
    return true;
  }
  std::optional<IpAddress> stored = loadLastAddress(options_.lastAddressPath);
  if (!stored) {
    if (!quiet) exchange_->reportError(TransferErrorKind::kNoContact, code);
    return false;
  }
  exchange_->addressFallback();
  addresses->push_back(*stored);
  return true;
}

// Tries the addresses in turn; the first that accepts the connection wins.
// An address whose family the system cannot make a socket for is passed
// over (a host without IPv6 still reaches a name's IPv4 address).
bool ServerConnection::connectToAny(const std::vector<IpAddress>& addresses, bool quiet) {
  bool opened = false;
  uint32_t code = 0;
  for (const IpAddress& address : addresses) {
    if (!socket_.open(address.family)) continue;
    opened = true;
    if (socket_.connect(address, endpoint_.port, options_.timings.connectLimitMs)) return true;
    code = socket_.lastError();
    socket_.close();
  }
  if (!opened) {
    fail(quiet, TransferErrorKind::kInvalidSocket, 0);
  } else if (!quiet) {
    exchange_->reportError(TransferErrorKind::kNoContact, code);
  }
  return false;
}

bool ServerConnection::connect(bool quiet) {
  socket_.close();
  std::vector<IpAddress> addresses;
  return addressesToTry(quiet, &addresses) && connectToAny(addresses, quiet);
}

// A server that takes nothing for as long as it may stay silent is lost, as
// one that sends nothing is.
bool ServerConnection::sendAll() {
  const uint32_t limitMs = options_.timings.idleLimitS * 1000u;
  while (sent_ < send_buffer_.size()) {
    std::optional<size_t> sent = socket_.send(send_buffer_.span().subspan(sent_), limitMs);
    if (!sent) {
      last_kind_ = TransferErrorKind::kWriteFailed;
      last_code_ = socket_.lastError();
      return false;
    }
    sent_ += static_cast<uint32_t>(*sent);
  }
  send_buffer_.clear();
  sent_ = 0;
  return true;
}

ReceiveResult ServerConnection::receive() {
  ReceiveResult result = receiveChunk(socket_, received_, long_wait_, options_.timings, system_);
  if (result.status == ReceiveStatus::kComplete) {
    first_retry_ = true;
  } else {
    last_kind_ = result.kind;
    last_code_ = result.code;
  }
  return result;
}

bool ServerConnection::deliver() {
  ByteBuffer answer;
  long_wait_ = false;
  bool goOn = exchange_->dispatch(received_.take(), &answer, &long_wait_);
  if (goOn) {
    send_buffer_ = std::move(answer);
    sent_ = 0;
  }
  return goOn;
}

bool ServerConnection::reconnect() {
  socket_.close();
  received_.clear();
  for (;;) {
    send_buffer_.clear();
    sent_ = 0;
    if (!exchange_->reconnect(&send_buffer_)) {
      exchange_->reportError(last_kind_, last_code_);
      return false;
    }
    system_.sleepMilliseconds(first_retry_ ? options_.timings.firstRetryMs : options_.timings.laterRetryMs);
    first_retry_ = false;
    if (connect(true)) return true;
  }
}

bool ServerConnection::endRun(bool normal) {
  socket_.close();
  received_.clear();
  send_buffer_.clear();
  sent_ = 0;
  if (normal) exchange_->finished();
  exchange_.reset();
  return normal;
}

bool ServerConnection::run() {
  if (exchange_ == nullptr) return false;
  if (!connect(false)) return endRun(false);
  if (!sendAll()) {
    exchange_->reportError(TransferErrorKind::kWriteFailed, last_code_);
    return endRun(false);
  }
  for (;;) {
    ReceiveResult result = receive();
    if (result.status == ReceiveStatus::kNotAChunk) {
      exchange_->reportError(kGeneralTransferError, 0);
      return endRun(false);
    }
    if (result.status == ReceiveStatus::kConnectionLost) {
      if (!reconnect()) return endRun(false);
    } else if (!deliver()) {
      return endRun(true);
    }
    // The answer, or after a reconnect the new opening chunk.
    while (!sendAll()) {
      if (!reconnect()) return endRun(false);
    }
  }
}

}  // namespace vl
