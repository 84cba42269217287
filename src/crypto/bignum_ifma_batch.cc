#include "crypto/bignum_ifma_batch.h"

#include "core/secure_wipe.h"
#include "crypto/ifma_kernel.h"

// The product loops are fully unrolled so that the column sums live in
// registers and the shift by one digit per step costs nothing.
#define VL_UNROLL_ALL _Pragma("GCC unroll 64")

namespace vl {
namespace {

using ifma::kEntries;
using ifma::kMask52;
using ifma::kWindow;
constexpr uint32_t kLanes = IfmaBatch::kLanes;

// Digit j (52 bits from bit 52 j) of a number of `count` limbs.
uint64_t digitOf(const uint64_t* limbs, uint32_t count, uint32_t j) {
  const uint32_t bit = 52 * j;
  const uint32_t limb = bit / 64;
  const uint32_t shift = bit % 64;
  uint64_t value = limb < count ? limbs[limb] >> shift : 0;
  if (shift > 12 && limb + 1 < count) value |= limbs[limb + 1] << (64 - shift);
  return value & kMask52;
}

// lanes[j][k] = digit j of x[k]; zero for the lanes past count.
template <int D>
void spread(uint64_t (*lanes)[kLanes], const uint64_t* const* x, uint32_t count, uint32_t limbs) {
  for (uint32_t j = 0; j < D; ++j) {
    for (uint32_t k = 0; k < kLanes; ++k) lanes[j][k] = k < count ? digitOf(x[k], limbs, j) : 0;
  }
}

// r[k] = the number whose digits are lanes[.][k], for k < count.
template <int D>
void gather(uint64_t* const* r, const uint64_t (*lanes)[kLanes], uint32_t count, uint32_t limbs) {
  for (uint32_t k = 0; k < count; ++k) {
    uint64_t* out = r[k];
    for (uint32_t i = 0; i < limbs; ++i) out[i] = 0;
    for (uint32_t j = 0; j < D; ++j) {
      const uint32_t bit = 52 * j;
      const uint32_t limb = bit / 64;
      const uint32_t shift = bit % 64;
      if (limb < limbs) out[limb] |= lanes[j][k] << shift;
      if (shift > 12 && limb + 1 < limbs) out[limb + 1] |= lanes[j][k] >> (64 - shift);
    }
  }
}

// r = t with every digit below 2^52, the bits above carried into the next
// digit (the last carry dropped: the values fit D digits).
template <int D>
VL_IFMA_TARGET inline void normalise(__m512i* r, const __m512i* t) {
  const __m512i mask = _mm512_set1_epi64(static_cast<long long>(kMask52));
  __m512i carry = _mm512_setzero_si512();
  VL_UNROLL_ALL
  for (int j = 0; j < D; ++j) {
    const __m512i value = _mm512_add_epi64(t[j], carry);
    carry = _mm512_srli_epi64(value, 52);
    r[j] = _mm512_and_si512(value, mask);
  }
}

// One step of the Montgomery reduction, in every lane: adds the multiple y
// of m that clears the lowest digit of t, then moves t down one digit (the
// lowest digit's bits above 52 go along into the next) with `top` entering
// as the highest. The high halves of y * m land one digit up from their low
// halves, which is where the move put them.
template <int D>
VL_IFMA_TARGET inline void reduceStep(__m512i* t, const __m512i* m, __m512i k0, __m512i top) {
  const __m512i y = _mm512_madd52lo_epu64(_mm512_setzero_si512(), t[0], k0);
  VL_UNROLL_ALL
  for (int j = 0; j < D; ++j) t[j] = _mm512_madd52lo_epu64(t[j], m[j], y);
  const __m512i carry = _mm512_srli_epi64(t[0], 52);
  VL_UNROLL_ALL
  for (int j = 0; j + 1 < D; ++j) t[j] = t[j + 1];
  t[D - 1] = top;
  t[0] = _mm512_add_epi64(t[0], carry);
  VL_UNROLL_ALL
  for (int j = 0; j < D; ++j) t[j] = _mm512_madd52hi_epu64(t[j], m[j], y);
}

// Eight almost-Montgomery products: r = a * b / R modulo m in every lane,
// below 2m when a and b are, with normalised digits. r may alias a or b.
//
// Step i adds the low halves of a * b_i, makes one reduction step, and adds
// the high halves, which land one digit up from their low halves, where the
// step's move put them. Digit sums stay far below 2^64 (each gets at most
// four 52-bit terms per step).
template <int D>
VL_IFMA_TARGET __attribute__((noinline)) void amm(__m512i* r, const __m512i* a, const __m512i* b,
                                                  const __m512i* m, __m512i k0) {
  const __m512i zero = _mm512_setzero_si512();
  __m512i t[D];
  VL_UNROLL_ALL
  for (int j = 0; j < D; ++j) t[j] = zero;
  for (int i = 0; i < D; ++i) {
    const __m512i bi = b[i];
    VL_UNROLL_ALL
    for (int j = 0; j < D; ++j) t[j] = _mm512_madd52lo_epu64(t[j], a[j], bi);
    reduceStep<D>(t, m, k0, zero);
    VL_UNROLL_ALL
    for (int j = 0; j < D; ++j) t[j] = _mm512_madd52hi_epu64(t[j], a[j], bi);
  }
  normalise<D>(r, t);
}

// Columns [First, First + D) of a * a in every lane, unreduced: column k
// gets the low halves of the digit products a_i * a_j with i + j = k and the
// high halves of those with i + j + 1 = k. Each product of two different
// digits is taken once and the sum doubled, which is what makes a square
// cheaper than a product; the squares of single digits are added after.
template <int D, int First>
VL_IFMA_TARGET inline void squareColumns(__m512i* out, const __m512i* a) {
  __m512i c[D];
  VL_UNROLL_ALL
  for (int k = 0; k < D; ++k) c[k] = _mm512_setzero_si512();
  VL_UNROLL_ALL
  for (int i = 0; i < D; ++i) {
    VL_UNROLL_ALL
    for (int j = 0; j < D; ++j) {
      if (j <= i) continue;
      const int low = i + j - First;
      const int high = low + 1;
      if (low >= 0 && low < D) c[low] = _mm512_madd52lo_epu64(c[low], a[i], a[j]);
      if (high >= 0 && high < D) c[high] = _mm512_madd52hi_epu64(c[high], a[i], a[j]);
    }
  }
  VL_UNROLL_ALL
  for (int k = 0; k < D; ++k) c[k] = _mm512_add_epi64(c[k], c[k]);
  VL_UNROLL_ALL
  for (int i = 0; i < D; ++i) {
    const int low = 2 * i - First;
    const int high = low + 1;
    if (low >= 0 && low < D) c[low] = _mm512_madd52lo_epu64(c[low], a[i], a[i]);
    if (high >= 0 && high < D) c[high] = _mm512_madd52hi_epu64(c[high], a[i], a[i]);
  }
  VL_UNROLL_ALL
  for (int k = 0; k < D; ++k) out[k] = c[k];
}

// Eight almost-Montgomery squares: r = a * a / R modulo m in every lane,
// below 2m when a is, with normalised digits; what amm(r, a, a, m, k0)
// gives, with about a quarter fewer multiplications. r may alias a.
//
// The square is formed whole (2D columns, in two halves that each fit the
// registers), then reduced one digit per step as amm does, the next column
// of the square's upper half entering at the top. Column sums stay
// below 2^61. `square` (2D registers) is scratch space; the caller wipes it.
template <int D>
VL_IFMA_TARGET __attribute__((noinline)) void ams(__m512i* r, const __m512i* a, const __m512i* m,
                                                  __m512i k0, __m512i* square) {
  squareColumns<D, 0>(square, a);
  squareColumns<D, D>(square + D, a);
  __m512i t[D];
  VL_UNROLL_ALL
  for (int j = 0; j < D; ++j) t[j] = square[j];
  for (int i = 0; i < D; ++i) reduceStep<D>(t, m, k0, square[D + i]);
  normalise<D>(r, t);
}

// out = table[index] for the same index in every lane, every entry read.
template <int D>
VL_IFMA_TARGET void selectEntry(__m512i* out, const __m512i (*table)[D], uint64_t index) {
  const __m512i wanted = _mm512_set1_epi64(static_cast<long long>(index));
  VL_UNROLL_ALL
  for (int j = 0; j < D; ++j) out[j] = _mm512_setzero_si512();
  for (uint32_t k = 0; k < kEntries; ++k) {
    const __mmask8 hit = _mm512_cmpeq_epi64_mask(_mm512_set1_epi64(k), wanted);
    VL_UNROLL_ALL
    for (int j = 0; j < D; ++j) out[j] = _mm512_mask_mov_epi64(out[j], hit, table[k][j]);
  }
}

// From below 2m (normalised digits) to below m in every lane, in constant
// time: m is subtracted, and the difference kept where it did not borrow.
template <int D>
VL_IFMA_TARGET void finalReduce(__m512i* x, const __m512i* m) {
  const __m512i mask = _mm512_set1_epi64(static_cast<long long>(kMask52));
  __m512i difference[D];
  __m512i borrow = _mm512_setzero_si512();
  VL_UNROLL_ALL
  for (int j = 0; j < D; ++j) {
    const __m512i value = _mm512_sub_epi64(_mm512_sub_epi64(x[j], m[j]), borrow);
    borrow = _mm512_srli_epi64(value, 63);
    difference[j] = _mm512_and_si512(value, mask);
  }
  const __mmask8 below = _mm512_test_epi64_mask(borrow, borrow);
  VL_UNROLL_ALL
  for (int j = 0; j < D; ++j) x[j] = _mm512_mask_blend_epi64(below, difference[j], x[j]);
  secureWipe(difference, sizeof difference);
}

uint64_t exponentWindow(const uint64_t* e, uint32_t bit, uint32_t count) {
  const uint32_t limb = bit / 64;
  const uint32_t shift = bit % 64;
  uint64_t value = e[limb] >> shift;
  if (shift + count > 64) value |= e[limb + 1] << (64 - shift);
  return value & ((uint64_t{1} << count) - 1);
}

template <int D>
VL_IFMA_TARGET void powBatch(const IfmaModulus& mod, uint64_t* const* r, const uint64_t* const* x,
                             uint32_t count, const uint64_t* e, uint32_t bits) {
  alignas(64) uint64_t lanes[D][kLanes];
  __m512i table[kEntries][D];
  __m512i m[D];
  __m512i rr[D];
  __m512i unit[D];
  __m512i acc[D];
  __m512i entry[D];
  __m512i square[2 * D];
  const __m512i k0 = _mm512_set1_epi64(static_cast<long long>(mod.k0()));
  for (int j = 0; j < D; ++j) {
    m[j] = _mm512_set1_epi64(static_cast<long long>(mod.digits()[j]));
    rr[j] = _mm512_set1_epi64(static_cast<long long>(mod.rr()[j]));
    unit[j] = _mm512_set1_epi64(j == 0 ? 1 : 0);
  }
  spread<D>(lanes, x, count, mod.limbs());
  for (int j = 0; j < D; ++j) entry[j] = _mm512_load_si512(lanes[j]);

  // table[k] = x^k * R: entry 0 is R mod m, entry 1 is x * R.
  amm<D>(table[0], unit, rr, m, k0);
  amm<D>(table[1], entry, rr, m, k0);
  for (uint32_t k = 2; k < kEntries; ++k) {
    if (k % 2 == 0) {
      ams<D>(table[k], table[k / 2], m, k0, square);
    } else {
      amm<D>(table[k], table[k - 1], table[1], m, k0);
    }
  }

  for (int j = 0; j < D; ++j) acc[j] = table[0][j];
  const uint32_t windows = (bits + kWindow - 1) / kWindow;
  for (uint32_t w = windows; w-- > 0;) {
    const uint32_t bit = w * kWindow;
    const uint32_t width = bits - bit < kWindow ? bits - bit : kWindow;
    if (w + 1 != windows) {
      for (uint32_t s = 0; s < width; ++s) ams<D>(acc, acc, m, k0, square);
    }
    selectEntry<D>(entry, table, exponentWindow(e, bit, width));
    amm<D>(acc, acc, entry, m, k0);
  }
  amm<D>(acc, acc, unit, m, k0);
  finalReduce<D>(acc, m);
  for (int j = 0; j < D; ++j) _mm512_store_si512(lanes[j], acc[j]);
  gather<D>(r, lanes, count, mod.limbs());

  secureWipe(lanes, sizeof lanes);
  secureWipe(table, sizeof table);
  secureWipe(acc, sizeof acc);
  secureWipe(entry, sizeof entry);
  secureWipe(square, sizeof square);
}

}  // namespace

bool IfmaBatch::supports(const IfmaModulus& mod) {
  return mod.valid() && mod.digitCount() == kDigits;
}

bool IfmaBatch::powSecret(const IfmaModulus& mod, uint64_t* const* r, const uint64_t* const* x,
                          uint32_t count, const uint64_t* e, uint32_t bits) {
  if (count == 0 || count > kLanes || !supports(mod)) return false;
  powBatch<kDigits>(mod, r, x, count, e, bits);
  return true;
}

}  // namespace vl
