// The block codec's entry points: compressing a section and undoing any
// stored compression kind.
//
// A stored section or list names in one byte which stages were applied:
//   0 stored, 1 run-length, 2 count-table Huffman, 3 run-length then
//   count-table Huffman, 4 run-length then tree-coded Huffman.
// New sections are written with kind 4 (or 0 when that does not make them
// shorter); kinds 1 to 3 are read for data written earlier.
#pragma once

#include <cstdint>
#include <span>

#include "codec/codec_limits.h"
#include "core/byte_buffer.h"

namespace vl {

enum class CompressionKind : uint8_t {
  kStored = 0,
  kRunLength = 1,
  kTableHuffman = 2,
  kRunLengthTableHuffman = 3,
  kRunLengthTreeHuffman = 4,
};

// Run-length encodes `in`, then tree-coded Huffman encodes the result, into
// `out` (kind 4). An empty input gives an empty output. False (out emptied)
// only when the Huffman stage outgrows its working area.
bool compressSection(std::span<const uint8_t> in, ByteBuffer* out);
// The same, when the result is shorter than `limit` bytes; a longer result
// is not written out (`out` stays empty), so that data which does not
// compress costs little more than its counting.
bool compressSectionBelow(std::span<const uint8_t> in, size_t limit, ByteBuffer* out);

// Undoes the stages of `kind` on `in`, last stage first, into `out`. A stage
// given an empty input is skipped, so an empty body decodes to nothing.
// False (out emptied) for kinds above 4, a failing stage, or a result longer
// than `max_output`.
bool decompress(uint8_t kind, std::span<const uint8_t> in, ByteBuffer* out,
                uint32_t max_output = kMaxDecodedLength);

}  // namespace vl
