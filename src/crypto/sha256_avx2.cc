// SHA-256 compression for processors with AVX2 but without the SHA
// instructions. The message schedule of up to eight blocks is computed at
// once, one block per 32-bit lane, and stored with the round constants
// already added; the rounds then run in scalar registers, one block after
// the other, with nothing left to compute but the rounds themselves. Compiled
// for AVX2 and BMI2 (non-destructive rotates) function by function, so the
// rest of the program stays portable.
#include "crypto/sha256_blocks.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include "core/secure_wipe.h"

#define VL_AVX2_TARGET __attribute__((target("avx2,bmi,bmi2")))

namespace vl::sha256_internal {
namespace {

constexpr int kLanes = 8;

template <int N>
VL_AVX2_TARGET inline __m256i rotr(__m256i x) {
  return _mm256_or_si256(_mm256_srli_epi32(x, N), _mm256_slli_epi32(x, 32 - N));
}

template <int N>
inline uint32_t rotr(uint32_t x) {
  return (x >> N) | (x << (32 - N));
}

// wk[t][lane] = W[t] + K[t] of block `lane`, for the first `count` blocks;
// the other lanes read nothing and hold the schedule of a zero block.
VL_AVX2_TARGET void schedule(uint32_t (*wk)[kLanes], const uint8_t* data, size_t count) {
  // Lane k reads word t of block k: 16 words (64 bytes) apart.
  const __m256i offsets = _mm256_setr_epi32(0, 16, 32, 48, 64, 80, 96, 112);
  const __m256i active =
      _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(count)),
                         _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  const __m256i byteSwap = _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12,
                                            3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
  auto* out = reinterpret_cast<__m256i*>(wk);
  __m256i w[16];
#pragma GCC unroll 16
  for (int t = 0; t < 16; ++t) {
    const auto* base = reinterpret_cast<const int*>(data + 4 * t);
    __m256i words =
        _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), base, offsets, active, 4);
    w[t] = _mm256_shuffle_epi8(words, byteSwap);
    _mm256_store_si256(out + t,
                       _mm256_add_epi32(w[t], _mm256_set1_epi32(static_cast<int>(kRoundConstants[t]))));
  }
#pragma GCC unroll 48
  for (int t = 16; t < 64; ++t) {
    const __m256i w15 = w[(t - 15) & 15];
    const __m256i w2 = w[(t - 2) & 15];
    const __m256i s0 =
        _mm256_xor_si256(_mm256_xor_si256(rotr<7>(w15), rotr<18>(w15)), _mm256_srli_epi32(w15, 3));
    const __m256i s1 = _mm256_xor_si256(_mm256_xor_si256(rotr<17>(w2), rotr<19>(w2)),
                                        _mm256_srli_epi32(w2, 10));
    __m256i next = _mm256_add_epi32(_mm256_add_epi32(w[t & 15], s0),
                                    _mm256_add_epi32(w[(t - 7) & 15], s1));
    w[t & 15] = next;
    _mm256_store_si256(out + t,
                       _mm256_add_epi32(next, _mm256_set1_epi32(static_cast<int>(kRoundConstants[t]))));
  }
}

// One round with the roles of the eight working variables given by the
// caller, so that an unrolled run of eight needs no moves. Ch is a sum here
// (its two terms never share a set bit); Maj(a, b, c) = b ^ ((a ^ b) &
// (b ^ c)), where b ^ c is the a ^ b of the round before (`bc`), and this
// round's a ^ b is left in `ab` for the next. The terms that do not wait for
// e are added first.
#define VL_SHA_ROUND(a, b, c, d, e, f, g, h, i, ab, bc)                     \
  do {                                                                      \
    uint32_t t1 = h + wk[i][lane] + (~e & g) + (e & f) +                    \
                  (rotr<6>(e) ^ rotr<11>(e) ^ rotr<25>(e));                 \
    ab = a ^ b;                                                             \
    uint32_t t2 = (rotr<2>(a) ^ rotr<13>(a) ^ rotr<22>(a)) + (b ^ (ab & bc)); \
    d += t1;                                                                \
    h = t1 + t2;                                                            \
  } while (0)

VL_AVX2_TARGET void rounds(uint32_t state[8], const uint32_t (*wk)[kLanes], int lane) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  uint32_t x = b ^ c;
  uint32_t y;
#pragma GCC unroll 8
  for (int i = 0; i < 64; i += 8) {
    VL_SHA_ROUND(a, b, c, d, e, f, g, h, i, y, x);
    VL_SHA_ROUND(h, a, b, c, d, e, f, g, i + 1, x, y);
    VL_SHA_ROUND(g, h, a, b, c, d, e, f, i + 2, y, x);
    VL_SHA_ROUND(f, g, h, a, b, c, d, e, i + 3, x, y);
    VL_SHA_ROUND(e, f, g, h, a, b, c, d, i + 4, y, x);
    VL_SHA_ROUND(d, e, f, g, h, a, b, c, i + 5, x, y);
    VL_SHA_ROUND(c, d, e, f, g, h, a, b, i + 6, y, x);
    VL_SHA_ROUND(b, c, d, e, f, g, h, a, i + 7, x, y);
  }
  addWorkingVariables(state, a, b, c, d, e, f, g, h);
}

#undef VL_SHA_ROUND

}  // namespace

void compressAvx2(uint32_t state[8], const uint8_t* data, size_t blocks) {
  alignas(32) uint32_t wk[64][kLanes];
  while (blocks > 0) {
    const size_t count = blocks < kLanes ? blocks : kLanes;
    schedule(wk, data, count);
    for (size_t lane = 0; lane < count; ++lane) rounds(state, wk, static_cast<int>(lane));
    data += 64 * count;
    blocks -= count;
  }
  // The schedule is derived from message bytes, which may be secret.
  secureWipe(wk, sizeof wk);
}

}  // namespace vl::sha256_internal

#else

#include <cstdlib>

namespace vl::sha256_internal {

// Never chosen on processors without the instructions.
void compressAvx2(uint32_t*, const uint8_t*, size_t) { std::abort(); }

}  // namespace vl::sha256_internal

#endif
