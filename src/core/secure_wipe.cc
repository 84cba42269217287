#include "core/secure_wipe.h"

#include <cstring>

namespace vl {

void secureWipe(void* data, size_t length) {
  if (data == nullptr || length == 0) return;
  std::memset(data, 0, length);
  // The barrier tells the compiler the zeroed memory is observed, so the
  // memset is not dropped as a dead store before free().
  __asm__ __volatile__("" : : "r"(data) : "memory");
}

}  // namespace vl
