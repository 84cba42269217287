// What the two AVX-512 IFMA kernels (IfmaModulus and IfmaBatch) share: the
// target attribute their functions are compiled with, and the digit and
// window sizes of their numbers and powers. Included only by their sources.
#pragma once

// GCC 12's AVX-512 intrinsics start some results from _mm512_undefined_*(),
// which its own -Wuninitialized then reports inside the header.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

#include <cstdint>

// Only functions carrying this attribute are compiled for the instructions;
// they run only when IfmaModulus::available() says so.
#define VL_IFMA_TARGET __attribute__((target("avx512f,avx512ifma,avx512vl,avx512bw,avx512dq")))

namespace vl::ifma {

// Numbers are held as digits of 52 bits.
inline constexpr uint64_t kMask52 = (uint64_t{1} << 52) - 1;
// Secret-exponent powers use fixed windows of this many bits.
inline constexpr uint32_t kWindow = 5;
inline constexpr uint32_t kEntries = 1u << kWindow;

}  // namespace vl::ifma
