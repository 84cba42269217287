// The SHA-256 compression function over whole 64-byte blocks, in its two
// implementations. Sha256 picks one per call (see cpu_features.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vl::sha256_internal {

// Portable C++; used where the processor lacks the SHA instructions and when
// tests force the portable path.
void compressPortable(uint32_t state[8], const uint8_t* data, size_t blocks);

// The SHA-NI instructions; only call when useShaInstructions() is true.
void compressHardware(uint32_t state[8], const uint8_t* data, size_t blocks);

}  // namespace vl::sha256_internal
