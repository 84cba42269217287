// Occurrence counts of the 256 byte values of a buffer.
//
// Every stage of the codec starts from these counts: the run-length coder
// picks its escape byte from them and both Huffman coders build their code
// tree from them.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace vl {

using ByteCounts = std::array<uint32_t, 256>;

// Counts each byte value of `in`. Inputs are shorter than 2^32 bytes, so no
// count overflows.
ByteCounts countBytes(std::span<const uint8_t> in);

}  // namespace vl
