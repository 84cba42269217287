#include "crypto/tag_compare.h"

#include <cstddef>

namespace vl {

bool tagsMatch(std::span<const uint8_t> expected, std::span<const uint8_t> received) {
  if (expected.empty() || expected.size() != received.size()) return false;
  // The differences are gathered in a volatile so that the compiler cannot
  // turn the loop into one that stops at the first difference.
  volatile uint8_t difference = 0;
  for (size_t i = 0; i < expected.size(); ++i) {
    difference = difference | (expected[i] ^ received[i]);
  }
  return difference == 0;
}

}  // namespace vl
