// RunLengthCoder: the escape run-length stage of the block codec.
//
// The stream begins with the escape byte E, the rarest byte value of the
// input (the highest such value on ties). A run of 4 to 259 equal bytes other
// than E becomes E, the byte, the length minus 4; E itself is written twice;
// every other byte stands for itself. Longer runs are cut after 259 bytes.
// Runs of 3 or fewer are written as literals.
#pragma once

#include <cstdint>
#include <span>

#include "codec/byte_histogram.h"
#include "codec/codec_limits.h"
#include "core/byte_buffer.h"

namespace vl {

class RunLengthCoder {
 public:
  // Encodes `in` into `out` (replacing its contents). The result is 1 to
  // 1 + n + n / 256 bytes for n input bytes; an empty input gives the escape
  // byte alone. False (out emptied) only when that bound passes 2^32 - 1.
  static bool encode(std::span<const uint8_t> in, ByteBuffer* out);
  // The same, also giving the byte counts of the result (what countBytes of
  // `out` would give) without another pass over it. `out` keeps its memory
  // for the next call; its old contents are wiped.
  static bool encodeCounting(std::span<const uint8_t> in, ByteBuffer* out, ByteCounts* counts);

  // Decodes `in` into `out`. False (out emptied) when the stream is empty,
  // ends inside an escape sequence, or would decode to more than
  // `max_output` bytes. A stream of the escape byte alone decodes to nothing.
  static bool decode(std::span<const uint8_t> in, ByteBuffer* out,
                     uint32_t max_output = kMaxDecodedLength);

  // The escape byte the encoder picks for these counts.
  static uint8_t escapeFor(const ByteCounts& counts);
};

}  // namespace vl
