// Writing the Huffman codes of a buffer's bytes, the hot loop of both
// Huffman encoders.
#pragma once

#include <cstdint>
#include <span>

#include "codec/byte_histogram.h"
#include "codec/code_tree.h"

namespace vl {

// The codes laid out for the loop, with what the encoders need to size
// their output.
inline constexpr int kLengthShift = 56;

struct SymbolCodes {
  // Code bits in the low 56 bits, the length in the top 8: one load a byte.
  uint64_t packed[256];
  int longest = 0;          // over the values that occur
  uint64_t total_bits = 0;  // of all codes of the input the counts describe
  int distinct = 0;         // values that occur
};

inline SymbolCodes flattenCodes(const CodeTable& codes, const ByteCounts& counts) {
  SymbolCodes out;
  for (int v = 0; v < 256; ++v) {
    out.packed[v] = codes[v].bits | static_cast<uint64_t>(codes[v].length) << kLengthShift;
    if (counts[v] == 0) continue;
    ++out.distinct;
    out.total_bits += static_cast<uint64_t>(counts[v]) * codes[v].length;
    if (codes[v].length > out.longest) out.longest = codes[v].length;
  }
  return out;
}

namespace code_writer_detail {

// `per_flush` codes between two stores: 7 pending bits plus per_flush codes
// of the longest length must fit in 64.
template <typename Writer>
inline void putCode(uint64_t packed, Writer& writer) {
  constexpr uint64_t kBitsMask = (uint64_t{1} << kLengthShift) - 1;
  writer.put(packed & kBitsMask, static_cast<int>(packed >> kLengthShift));
}

template <int per_flush, typename Writer>
void writeCodes(std::span<const uint8_t> in, const SymbolCodes& codes, Writer& writer) {
  const uint8_t* p = in.data();
  const size_t n = in.size();
  size_t i = 0;
  for (; i + per_flush <= n; i += per_flush) {
    for (int k = 0; k < per_flush; ++k) putCode(codes.packed[p[i + k]], writer);
    writer.flush();
  }
  for (; i < n; ++i) {
    putCode(codes.packed[p[i]], writer);
    writer.flush();
  }
}

}  // namespace code_writer_detail

// Appends the code of every byte of `in` to `writer` (an LsbBitWriter or
// MsbBitWriter with at most 7 bits pending). Codes are at most 48 bits.
template <typename Writer>
void writeSymbolCodes(std::span<const uint8_t> in, const SymbolCodes& codes, Writer& writer) {
  using code_writer_detail::writeCodes;
  if (codes.longest <= 14) {
    writeCodes<4>(in, codes, writer);
  } else if (codes.longest <= 19) {
    writeCodes<3>(in, codes, writer);
  } else if (codes.longest <= 28) {
    writeCodes<2>(in, codes, writer);
  } else {
    writeCodes<1>(in, codes, writer);
  }
}

}  // namespace vl
