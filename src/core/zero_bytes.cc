#include "core/zero_bytes.h"

#include <algorithm>
#include <cstring>

namespace vl {

bool allZero(std::span<const uint8_t> bytes) {
  // Block by block: a loop the compiler widens, and an early way out.
  constexpr size_t kBlock = 4096;
  for (size_t at = 0; at < bytes.size(); at += kBlock) {
    const size_t length = std::min(kBlock, bytes.size() - at);
    uint64_t any = 0;
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
      uint64_t word;
      std::memcpy(&word, bytes.data() + at + i, 8);
      any |= word;
    }
    for (; i < length; ++i) any |= bytes[at + i];
    if (any != 0) return false;
  }
  return true;
}

}  // namespace vl
