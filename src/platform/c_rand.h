// The classic C library generator: srand/rand with values 0 to 32 767.
//
// Some stored choices (Miller-Rabin bases, among others) are drawn from it,
// so every platform must give the same sequence for the same seed: the linear
// congruential rule next = next * 1103515245 + 12345, value = (next / 65536)
// mod 32768. The host's own rand() is never used.
#pragma once

#include <cstdint>

namespace vl {

inline constexpr int kCRandMax = 32767;

void cSrand(uint32_t seed);
int cRand();

}  // namespace vl
