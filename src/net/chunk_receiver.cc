#include "net/chunk_receiver.h"

#include <algorithm>
#include <utility>

#include "platform/tcp_socket.h"

namespace vl {

size_t ChunkAssembler::wanted() const {
  if (status_ != ChunkStatus::kNeedMore) return 0;
  uint32_t held = bytes_.size();
  // Until the header is in, its length is not known: read no further.
  uint32_t target = held < kChunkHeaderSize ? kChunkHeaderSize : classifyChunk(bytes_.span()).length;
  return std::min<size_t>(target - held, kReadPiece);
}

std::span<uint8_t> ChunkAssembler::prepare(size_t length) {
  filled_ = bytes_.size();
  bytes_.resize(static_cast<size_t>(filled_) + length);
  return bytes_.mutableSpan().subspan(filled_);
}

ChunkStatus ChunkAssembler::commit(size_t filled) {
  // Drops (and wipes) the part of the room that the read did not fill.
  bytes_.resize(static_cast<size_t>(filled_) + std::min<size_t>(filled, bytes_.size() - filled_));
  status_ = classifyChunk(bytes_.span()).status;
  return status_;
}

ChunkStatus ChunkAssembler::add(std::span<const uint8_t> bytes) {
  bytes_.appendBytes(bytes);
  status_ = classifyChunk(bytes_.span()).status;
  return status_;
}

ByteBuffer ChunkAssembler::take() {
  ByteBuffer chunk = std::move(bytes_);
  clear();
  return chunk;
}

void ChunkAssembler::clear() {
  bytes_.clear();
  filled_ = 0;
  status_ = ChunkStatus::kNeedMore;
}

namespace {

ReceiveResult lost(TransferErrorKind kind, uint32_t code) {
  return {ReceiveStatus::kConnectionLost, kind, code};
}

}  // namespace

ReceiveResult receiveChunk(TcpSocket& socket, ChunkAssembler& assembler, bool longWait,
                           const TransportTimings& timings, TransportSystem& system) {
  const uint32_t limit = longWait ? timings.longIdleLimitS : timings.idleLimitS;
  uint32_t lastActivity = system.seconds();
  while (assembler.status() == ChunkStatus::kNeedMore) {
    switch (socket.waitReadable(timings.waitSliceMs)) {
      case SocketWait::kFailed:
        return lost(TransferErrorKind::kReadWaitFailed, socket.lastError());
      case SocketWait::kExceptional:
        return lost(TransferErrorKind::kReadSocketFailed, 0);
      case SocketWait::kTimedOut:
        if (system.seconds() - lastActivity > limit) return lost(TransferErrorKind::kLostConnection, 0);
        continue;
      case SocketWait::kReadable:
        break;
    }
    std::span<uint8_t> room = assembler.prepare(assembler.wanted());
    std::optional<size_t> got = socket.receive(room);
    if (!got) {
      assembler.commit(0);
      return lost(TransferErrorKind::kReadFailed, socket.lastError());
    }
    assembler.commit(*got);
    if (*got == 0) return lost(TransferErrorKind::kConnectionDropped, 0);
    lastActivity = system.seconds();
  }
  if (assembler.status() == ChunkStatus::kComplete) return {ReceiveStatus::kComplete, kGeneralTransferError, 0};
  return {ReceiveStatus::kNotAChunk, kGeneralTransferError, 0};
}

}  // namespace vl
