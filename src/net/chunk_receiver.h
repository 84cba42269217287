// Receiving one chunk from a socket.
//
// ChunkAssembler gathers the bytes of one incoming chunk and says after each
// piece what they are (classifyChunk). It never asks for more than the chunk
// still lacks: first the header, then up to the declared end. So two chunks
// that arrive back to back are never merged, and memory grows with the bytes
// that really came, never with what a header declares. A header declaring
// more than 100 MiB is refused before a byte of the body is read.
//
// receiveChunk is the socket loop around it: waits in short slices, checks
// the server's silence against the idle limit after each, and tells a lost
// connection (worth a reconnect) from bytes that are not a chunk (not).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/byte_buffer.h"
#include "net/chunk_header.h"
#include "net/send_action.h"
#include "net/transport_system.h"

namespace vl {

class TcpSocket;

class ChunkAssembler {
 public:
  // The most one read takes (256 KiB).
  static constexpr size_t kReadPiece = 262144;

  // How many bytes the next read may take: what is missing of the header,
  // then of the declared chunk, at most kReadPiece; 0 once the bytes are
  // complete or refused.
  size_t wanted() const;
  // Room for the next read of at most `length` bytes at the end of the
  // bytes held; `commit` then says how many were filled. The room must not
  // be used after any other call.
  std::span<uint8_t> prepare(size_t length);
  ChunkStatus commit(size_t filled);
  // Appends bytes received elsewhere (all of them, even beyond wanted()).
  ChunkStatus add(std::span<const uint8_t> bytes);

  ChunkStatus status() const { return status_; }
  uint32_t size() const { return bytes_.size(); }
  // The complete chunk; the assembler is empty afterwards.
  ByteBuffer take();
  // Wipes what was gathered.
  void clear();

 private:
  ByteBuffer bytes_;
  uint32_t filled_ = 0;
  ChunkStatus status_ = ChunkStatus::kNeedMore;
};

enum class ReceiveStatus : uint8_t {
  kComplete,        // the assembler holds a complete chunk
  kConnectionLost,  // kind and code say how; a reconnect may help
  kNotAChunk,       // the bytes are malformed or too large; no reconnect
};

struct ReceiveResult {
  ReceiveStatus status = ReceiveStatus::kComplete;
  TransferErrorKind kind = kGeneralTransferError;
  uint32_t code = 0;
};

// Reads from `socket` into `assembler` until it holds a complete chunk.
// Fails with kLostConnection once the server has sent nothing for more than
// the idle limit (the long one with `longWait`) since the start of this
// receive or the last read, kReadWaitFailed / kReadSocketFailed when the
// wait fails or the socket reports an error, kReadFailed when a read fails,
// kConnectionDropped when the server ends the stream, and with kNotAChunk
// (kind general) as soon as the bytes cannot be a chunk.
ReceiveResult receiveChunk(TcpSocket& socket, ChunkAssembler& assembler, bool longWait,
                           const TransportTimings& timings, TransportSystem& system);

}  // namespace vl
