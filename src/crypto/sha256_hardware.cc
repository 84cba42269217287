// SHA-256 compression with the SHA-NI instructions. Compiled for those
// instructions function by function, so the rest of the program stays
// portable; Sha256 calls it only when the processor reports them.
#include "crypto/sha256_blocks.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

namespace vl::sha256_internal {

#define VL_SHA_TARGET __attribute__((target("sha,ssse3,sse4.1")))

// The state is kept as ABEF and CDGH, the register layout sha256rnds2 wants.
// Each step runs four rounds; message words for rounds 16..63 are built
// with sha256msg1/msg2 while the rounds run.
#define VL_SHA_K(hi, lo) _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo))

#define VL_SHA_ROUNDS(w, k)                          \
  msg = _mm_add_epi32(w, k);                         \
  state1 = _mm_sha256rnds2_epu32(state1, state0, msg); \
  msg = _mm_shuffle_epi32(msg, 0x0E);                \
  state0 = _mm_sha256rnds2_epu32(state0, state1, msg)

// Rounds with w3 current: completes the schedule word of the next step
// (w0 += alignr(w3, w2); msg2) and starts the one after (w2 = msg1(w2, w3)).
#define VL_SHA_ROUNDS_SCHEDULE(w0, w1, w2, w3, k, do_msg2, do_msg1) \
  msg = _mm_add_epi32(w3, k);                                       \
  state1 = _mm_sha256rnds2_epu32(state1, state0, msg);              \
  if (do_msg2) {                                                    \
    tmp = _mm_alignr_epi8(w3, w2, 4);                               \
    w0 = _mm_add_epi32(w0, tmp);                                    \
    w0 = _mm_sha256msg2_epu32(w0, w3);                              \
  }                                                                 \
  msg = _mm_shuffle_epi32(msg, 0x0E);                               \
  state0 = _mm_sha256rnds2_epu32(state0, state1, msg);              \
  if (do_msg1) w2 = _mm_sha256msg1_epu32(w2, w3)

VL_SHA_TARGET void compressHardware(uint32_t state[8], const uint8_t* data, size_t blocks) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
  __m128i state1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
  tmp = _mm_shuffle_epi32(tmp, 0xB1);              // CDAB
  state1 = _mm_shuffle_epi32(state1, 0x1B);        // EFGH
  __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);  // ABEF
  state1 = _mm_blend_epi16(state1, tmp, 0xF0);     // CDGH

  for (; blocks > 0; --blocks, data += 64) {
    const __m128i abef = state0;
    const __m128i cdgh = state1;
    __m128i msg;
    const auto* in = reinterpret_cast<const __m128i*>(data);
    __m128i w0 = _mm_shuffle_epi8(_mm_loadu_si128(in + 0), byte_swap);
    __m128i w1 = _mm_shuffle_epi8(_mm_loadu_si128(in + 1), byte_swap);
    __m128i w2 = _mm_shuffle_epi8(_mm_loadu_si128(in + 2), byte_swap);
    __m128i w3 = _mm_shuffle_epi8(_mm_loadu_si128(in + 3), byte_swap);

    VL_SHA_ROUNDS(w0, VL_SHA_K(0xE9B5DBA5B5C0FBCFULL, 0x71374491428A2F98ULL));
    VL_SHA_ROUNDS(w1, VL_SHA_K(0xAB1C5ED5923F82A4ULL, 0x59F111F13956C25BULL));
    w0 = _mm_sha256msg1_epu32(w0, w1);
    VL_SHA_ROUNDS(w2, VL_SHA_K(0x550C7DC3243185BEULL, 0x12835B01D807AA98ULL));
    w1 = _mm_sha256msg1_epu32(w1, w2);
    // Rounds 12..63: the four words rotate roles, one step per four rounds.
    VL_SHA_ROUNDS_SCHEDULE(w0, w1, w2, w3, VL_SHA_K(0xC19BF1749BDC06A7ULL, 0x80DEB1FE72BE5D74ULL), true, true);
    VL_SHA_ROUNDS_SCHEDULE(w1, w2, w3, w0, VL_SHA_K(0x240CA1CC0FC19DC6ULL, 0xEFBE4786E49B69C1ULL), true, true);
    VL_SHA_ROUNDS_SCHEDULE(w2, w3, w0, w1, VL_SHA_K(0x76F988DA5CB0A9DCULL, 0x4A7484AA2DE92C6FULL), true, true);
    VL_SHA_ROUNDS_SCHEDULE(w3, w0, w1, w2, VL_SHA_K(0xBF597FC7B00327C8ULL, 0xA831C66D983E5152ULL), true, true);
    VL_SHA_ROUNDS_SCHEDULE(w0, w1, w2, w3, VL_SHA_K(0x1429296706CA6351ULL, 0xD5A79147C6E00BF3ULL), true, true);
    VL_SHA_ROUNDS_SCHEDULE(w1, w2, w3, w0, VL_SHA_K(0x53380D134D2C6DFCULL, 0x2E1B213827B70A85ULL), true, true);
    VL_SHA_ROUNDS_SCHEDULE(w2, w3, w0, w1, VL_SHA_K(0x92722C8581C2C92EULL, 0x766A0ABB650A7354ULL), true, true);
    VL_SHA_ROUNDS_SCHEDULE(w3, w0, w1, w2, VL_SHA_K(0xC76C51A3C24B8B70ULL, 0xA81A664BA2BFE8A1ULL), true, true);
    VL_SHA_ROUNDS_SCHEDULE(w0, w1, w2, w3, VL_SHA_K(0x106AA070F40E3585ULL, 0xD6990624D192E819ULL), true, true);
    VL_SHA_ROUNDS_SCHEDULE(w1, w2, w3, w0, VL_SHA_K(0x34B0BCB52748774CULL, 0x1E376C0819A4C116ULL), true, true);
    VL_SHA_ROUNDS_SCHEDULE(w2, w3, w0, w1, VL_SHA_K(0x682E6FF35B9CCA4FULL, 0x4ED8AA4A391C0CB3ULL), true, false);
    VL_SHA_ROUNDS_SCHEDULE(w3, w0, w1, w2, VL_SHA_K(0x8CC7020884C87814ULL, 0x78A5636F748F82EEULL), true, false);
    VL_SHA_ROUNDS(w3, VL_SHA_K(0xC67178F2BEF9A3F7ULL, 0xA4506CEB90BEFFFAULL));

    state0 = _mm_add_epi32(state0, abef);
    state1 = _mm_add_epi32(state1, cdgh);
  }

  tmp = _mm_shuffle_epi32(state0, 0x1B);        // FEBA
  state1 = _mm_shuffle_epi32(state1, 0xB1);     // DCHG
  state0 = _mm_blend_epi16(tmp, state1, 0xF0);  // DCBA
  state1 = _mm_alignr_epi8(state1, tmp, 8);     // HGFE
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), state0);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), state1);
}

}  // namespace vl::sha256_internal

#else

#include <cstdlib>

namespace vl::sha256_internal {

// Never chosen on processors without the instructions.
void compressHardware(uint32_t*, const uint8_t*, size_t) { std::abort(); }

}  // namespace vl::sha256_internal

#endif
