// ConnectionHandler: what the server does on one connection, free of I/O.
//
// The driver that owns the socket hands over every byte it receives and
// does what the returned step says: wait for more bytes, send an answer,
// send an answer and then close, or close at once. Because nothing here
// touches a socket, tests and the fuzzer drive the whole server side of the
// protocol with bytes alone.
//
// A connection opens with either an account setup request (type 10), which
// is answered and ends the connection, or a start chunk (type 0). A start is
// admitted after the checks of admitStart, a check that this start chunk was
// never admitted before (a recorded one played again is refused with code
// 3), and the installation rule:
//   empty account string         a reader: list and section requests only
//   the registered id, or any
//   id while none is registered  the owner: every request
//   an id a recovery replaced    refused, code 5
//   any other id                 a recoverer: only a RecoverChunk, which
//                                registers the id and makes it the owner
// A request the role does not allow is answered with result 5.
//
// Broken requests get no answer; the connection is closed and the reason
// logged: bytes that are not a chunk, a declared length above the limit, a
// chunk type no client sends, a request before an admitted start, a MAC
// that does not match, a payload that does not decrypt, a sequence number
// other than the last + 1, an archive or recover request without transport
// encryption. Until a start is admitted only short chunks are accepted, so a
// peer that has proved nothing cannot make the server hold more than
// kMaxOpeningChunkLength bytes for it.
//
// Requests after a start: an upload (FileDataChunk) is answered 0 with the
// bytes the copy in progress has uploaded, 2 when its number is 0 or used by
// a stored copy or its record is misshapen, 3 over the account's reserved
// space; a completed copy (FileListChunk) is answered 0 with the usage
// figures once it is stored, 2 when a check fails; a list request names a
// copy by how many steps it lies back from the newest and gets its list
// record and figures, or "present 0"; a section request gets the record or
// result 1. Every answer 0 follows a durable change. A store that fails
// closes the connection without an answer (the client's reconnect or next
// run tries again).
//
// The archive request (mode 1) lists the account's archived copies, newest
// first; mode 2 deletes those whose copy numbers it names, all or nothing:
// result 4 when one is not an archived copy, 6 when one is still protected
// (kept for the protect days of the server's clock since it was received);
// any other mode, or indexes that do not read, get result 2.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "core/byte_buffer.h"
#include "net/chunk_framing.h"
#include "net/exchange_keys.h"
#include "net/exchange_messages.h"
#include "server/protocol/server_context.h"

namespace vl {

class AccountBackups;

// Start chunks and setup requests are a few kilobytes at most.
inline constexpr uint32_t kMaxOpeningChunkLength = 65536;

enum class HandlerAction {
  kNeedMore,       // nothing to send; wait for more bytes
  kSend,           // send `answer`, then wait for the next request
  kSendThenClose,  // send `answer`, then close: the exchange is over
  kClose,          // close without an answer; `reason` says why
};

struct HandlerStep {
  HandlerAction action = HandlerAction::kNeedMore;
  ByteBuffer answer;
  std::string reason;
};

class ConnectionHandler {
 public:
  // `context` must outlive the handler; `address` is the peer's network
  // address (without port), which the setup limit counts by; `peer` names
  // the connection in the log.
  ConnectionHandler(const ServerContext& context, std::string address, std::string peer);
  ConnectionHandler(const ConnectionHandler&) = delete;
  ConnectionHandler& operator=(const ConnectionHandler&) = delete;

  // Takes the next received bytes. After kSendThenClose or kClose every
  // further call returns kClose.
  HandlerStep receive(std::span<const uint8_t> bytes);

  bool admitted() const { return state_ == State::kAdmitted; }
  // Bytes held of a chunk not yet complete.
  uint32_t bufferedBytes() const { return received_.size(); }

 private:
  enum class State { kAwaitingOpening, kAdmitted, kFinished };
  enum class Role { kReader, kOwner, kRecoverer };

  HandlerStep handleChunk();
  HandlerStep handleStart();
  HandlerStep handleSetup();
  HandlerStep handleRequest(ChunkType type);
  HandlerStep handleRecover(const OpenedChunk& request);
  HandlerStep handleUpload(const OpenedChunk& request);
  HandlerStep handleCommit(const OpenedChunk& request);
  HandlerStep handleListRequest(const OpenedChunk& request);
  HandlerStep handleSectionRequest(const OpenedChunk& request);
  HandlerStep handleArchive(const OpenedChunk& request);
  // Retention after a new copy, when the server runs with it.
  void expireAfter(uint32_t newestTime);
  // The protect days that hold for this account: the server's or the
  // account's own, whichever is longer.
  std::optional<uint32_t> protectDays();
  // The account's backups, opened at the first request that needs them.
  AccountBackups* backups();
  // An answer of `type` carrying `plaintext` (number, result, fields).
  HandlerStep sendAnswer(ChunkType type, ByteBuffer plaintext);

  HandlerStep refuseStart(StartAnswerCode code, const std::string& why);
  HandlerStep answerSetup(uint16_t result, const std::string& why);
  HandlerStep answerRequest(ChunkType type, uint32_t number, uint16_t result);
  HandlerStep close(const std::string& reason);
  // Sends `answer` and ends the connection: the exchange is over.
  HandlerStep finishWith(ByteBuffer answer, const std::string& why);
  bool allowed(ChunkType type) const;
  void log(const std::string& line) const;

  const ServerContext& context_;
  std::string address_;
  std::string peer_;
  State state_ = State::kAwaitingOpening;
  ByteBuffer received_;
  ExchangeKeys keys_;
  ChunkSequence sequence_;
  bool encrypt_ = false;
  uint32_t account_ = 0;
  ByteBuffer installationId_;
  Role role_ = Role::kReader;
  std::shared_ptr<AccountBackups> backups_;
};

}  // namespace vl
