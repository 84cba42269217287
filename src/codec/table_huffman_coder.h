// TableHuffmanCoder: the Huffman stage whose stream carries the 256 byte
// counts, from which the decoder rebuilds the encoder's code tree.
//
// Layout, integers little-endian: u32 B (code bits), u32 N (decoded length),
// u8 w (bytes per count, 1 to 4, the fewest that hold the largest count),
// 256 counts of w bytes, then B code bits filling each byte from the most
// significant bit down. A step to a left child is a 1 bit, to the right a 0.
// When only one value occurs its leaf hangs alone under a new root, so its
// code is the single bit 1.
#pragma once

#include <cstdint>
#include <span>

#include "codec/codec_limits.h"
#include "core/byte_buffer.h"

namespace vl {

class TableHuffmanCoder {
 public:
  // Encodes `in` into `out`. False (out emptied) for an empty input, which
  // has no stream that decodes, and for inputs whose code bits would not fit
  // the 32-bit B.
  static bool encode(std::span<const uint8_t> in, ByteBuffer* out);

  // Decodes `in` into `out`. False (out emptied) when the stream is shorter
  // than its header, table and B code bits, w is not 1 to 4, a code leads to
  // a missing child, the bits do not end on a complete code, they decode to
  // any other number of bytes than N, or N exceeds `max_output`. Bytes after
  // the B code bits are ignored.
  static bool decode(std::span<const uint8_t> in, ByteBuffer* out,
                     uint32_t max_output = kMaxDecodedLength);
};

}  // namespace vl
