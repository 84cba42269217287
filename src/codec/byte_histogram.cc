#include "codec/byte_histogram.h"

#include <cstring>

namespace vl {

ByteCounts countBytes(std::span<const uint8_t> in) {
  // Four partial tables so that runs of one value do not serialise on a
  // single counter.
  uint32_t partial[4][256] = {};
  const uint8_t* p = in.data();
  size_t n = in.size();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, p + i, 8);
    partial[0][word & 0xff]++;
    partial[1][(word >> 8) & 0xff]++;
    partial[2][(word >> 16) & 0xff]++;
    partial[3][(word >> 24) & 0xff]++;
    partial[0][(word >> 32) & 0xff]++;
    partial[1][(word >> 40) & 0xff]++;
    partial[2][(word >> 48) & 0xff]++;
    partial[3][word >> 56]++;
  }
  for (; i < n; ++i) partial[0][p[i]]++;
  ByteCounts counts;
  for (int v = 0; v < 256; ++v) {
    counts[v] = partial[0][v] + partial[1][v] + partial[2][v] + partial[3][v];
  }
  return counts;
}

}  // namespace vl
