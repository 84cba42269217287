// The 14-byte chunk header, and the one function that tells what a run of
// received bytes is.
//
// Header: the letters "CHK", a 0 byte, the u32 total length of the chunk
// (header included), the u16 chunk type, u16 0, u16 1; little-endian.
//
// classifyChunk looks only at bytes, never at a socket, so the transport on
// either side, tests and fuzzers share it. It decides from the header alone
// when a declared length is too large, so nothing is ever allocated for a
// length before its bytes have arrived.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/byte_buffer.h"
#include "net/chunk_type.h"

namespace vl {

constexpr uint32_t kChunkHeaderSize = 14;
// The longest chunk either side accepts (100 MiB).
constexpr uint32_t kMaxChunkLength = 104857600;

enum class ChunkStatus {
  kComplete,   // the bytes are exactly one chunk
  kNeedMore,   // a correct start of a chunk; wait for more bytes
  kTooLarge,   // the header declares more than kMaxChunkLength
  kMalformed,  // not a chunk and never going to be one
};

struct ChunkScan {
  ChunkStatus status = ChunkStatus::kNeedMore;
  // The declared total length once the header shows it (0 before); for a
  // complete chunk, the bytes it consumed: all of them.
  uint32_t length = 0;
};

// What `received` (every byte received so far of one incoming chunk) is.
// Complete means: at least 14 bytes, "CHK", byte 3 zero and exactly the
// declared total length. A wrong letter, a non-zero byte 3 or a declared
// length below 14 is malformed as soon as it can be seen. So are bytes beyond
// the declared length: the other side sends nothing until it has an answer,
// so they can never become a chunk and waiting for them would only run into
// the idle limit.
ChunkScan classifyChunk(std::span<const uint8_t> received);
inline bool isCompleteChunk(std::span<const uint8_t> bytes) {
  return classifyChunk(bytes).status == ChunkStatus::kComplete;
}

// The type of a complete chunk; nothing for incomplete bytes or a type number
// that names no chunk type.
std::optional<ChunkType> chunkTypeOf(std::span<const uint8_t> chunk);

// Appends a header for `type` with total length 14 (to an empty buffer).
void appendChunkHeader(ByteBuffer& chunk, ChunkType type);
// Writes the buffer's size as the total length at offset 4; does nothing to
// a buffer shorter than a header.
void updateChunkLength(ByteBuffer& chunk);

}  // namespace vl
