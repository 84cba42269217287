// Telling pieces of zeros from data: disk images and preallocated files hold
// long stretches of zero bytes, which a backup hashes once for all and a
// restore leaves as holes instead of writing.
#pragma once

#include <cstdint>
#include <span>

namespace vl {

// Whether every byte of `bytes` is zero (true for none). Data is told from
// zeros within its first few KiB.
bool allZero(std::span<const uint8_t> bytes);

}  // namespace vl
