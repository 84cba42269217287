// TreeHuffmanCoder: the Huffman stage whose stream carries its own code tree.
//
// Bits fill each byte from the least significant bit up. The stream holds a
// 2-bit width class w, the decoded length N in 8(w + 1) bits, the code tree in
// pre-order (0 for an internal node followed by its left and right subtrees,
// 1 and eight value bits for a leaf), then the code of every input byte, 0 for
// a step left and 1 for a step right. A tree of a single leaf gives its value
// an empty code, so such a stream holds no code bits at all.
#pragma once

#include <cstdint>
#include <span>

#include "codec/byte_histogram.h"
#include "codec/codec_limits.h"
#include "core/byte_buffer.h"

namespace vl {

class TreeHuffmanCoder {
 public:
  // Encodes `in` into `out`. False (out emptied) for an empty input, or when
  // the stream would not fit in n + n / 4 + 500 bytes for n input bytes: the
  // working area the format has always had, which a code built this way
  // never actually outgrows.
  static bool encode(std::span<const uint8_t> in, ByteBuffer* out);
  // The same for a caller that already has countBytes(in). When the stream
  // would take `limit` bytes or more it is not written: `out` is left empty
  // and the call succeeds.
  static bool encodeCounted(std::span<const uint8_t> in, const ByteCounts& counts,
                            ByteBuffer* out, uint64_t limit = UINT64_MAX);

  // Decodes `in` into `out`. False (out emptied) when the header is cut
  // short, the tree runs past the end or has more than 256 leaves, the codes
  // run out before N bytes are produced, or N exceeds `max_output`. Bytes
  // after the last code are ignored.
  static bool decode(std::span<const uint8_t> in, ByteBuffer* out,
                     uint32_t max_output = kMaxDecodedLength);
};

}  // namespace vl
