// The operating system's cryptographic random source.
#pragma once

#include <cstddef>

namespace vl {

// Fills `out` with `length` random bytes; false when the source fails.
bool osRandomBytes(void* out, size_t length);

}  // namespace vl
