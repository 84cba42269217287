#include "crypto/bignum_ifma.h"

#include <array>
#include <cstring>

#include "core/secure_wipe.h"
#include "crypto/ifma_kernel.h"

// The loops over vectors and problems are short and fixed; unrolled, their
// values stay in registers.
#define VL_UNROLL _Pragma("GCC unroll 8")

namespace vl {
namespace {

using ifma::kEntries;
using ifma::kMask52;
using ifma::kWindow;

template <int P>
using Outputs = std::array<uint64_t*, P>;
template <int P>
using Inputs = std::array<const uint64_t*, P>;
template <int P>
using Moduli = std::array<const IfmaModulus*, P>;

template <int V>
constexpr int digitsFor() {
  return V == 3 ? 20 : 40;
}

void toDigits(uint64_t* d, uint32_t digits, const uint64_t* limbs, uint32_t limbCount) {
  for (uint32_t j = 0; j < digits; ++j) {
    uint32_t bit = 52 * j;
    uint32_t limb = bit / 64;
    uint32_t shift = bit % 64;
    uint64_t value = limb < limbCount ? limbs[limb] >> shift : 0;
    if (shift > 12 && limb + 1 < limbCount) value |= limbs[limb + 1] << (64 - shift);
    d[j] = value & kMask52;
  }
}

void fromDigits(uint64_t* limbs, uint32_t limbCount, const uint64_t* d, uint32_t digits) {
  for (uint32_t i = 0; i < limbCount; ++i) limbs[i] = 0;
  for (uint32_t j = 0; j < digits; ++j) {
    uint32_t bit = 52 * j;
    uint32_t limb = bit / 64;
    uint32_t shift = bit % 64;
    if (limb < limbCount) limbs[limb] |= d[j] << shift;
    if (shift > 12 && limb + 1 < limbCount) limbs[limb + 1] |= d[j] >> (64 - shift);
  }
}

// P almost-Montgomery products at once, interleaved: r[p] = a[p] * b[p] / R
// modulo mod[p], below 2 m when a and b are. Digits in, normalised digits
// out; r may alias a or b.
//
// The digits of b are taken one at a time. The lane holding the lowest digit
// is read out after a * b_i is added, to find the multiple y of m that
// clears it; the sum is then shifted down by one lane. The carry out of the
// cleared lane is kept in a scalar and added when the next lowest digit is
// read, so the vector lane never needs it.
template <int V, int P>
VL_IFMA_TARGET void amm(const Outputs<P>& r, const Inputs<P>& a, const Inputs<P>& b,
                        const Moduli<P>& mod) {
  constexpr int kDigits = digitsFor<V>();
  const __m512i zero = _mm512_setzero_si512();
  __m512i A[P][V];
  __m512i M[P][V];
  __m512i R[P][V];
  uint64_t carry[P];
  uint64_t k0[P];
  uint64_t m0[P];
  VL_UNROLL
  for (int p = 0; p < P; ++p) {
    VL_UNROLL
    for (int v = 0; v < V; ++v) {
      A[p][v] = _mm512_loadu_si512(a[p] + 8 * v);
      M[p][v] = _mm512_loadu_si512(mod[p]->digits() + 8 * v);
      R[p][v] = zero;
    }
    carry[p] = 0;
    k0[p] = mod[p]->k0();
    m0[p] = mod[p]->digits()[0];
  }
  for (int i = 0; i < kDigits; ++i) {
    VL_UNROLL
    for (int p = 0; p < P; ++p) {
      const __m512i bi = _mm512_set1_epi64(static_cast<long long>(b[p][i]));
      VL_UNROLL
      for (int v = 0; v < V; ++v) R[p][v] = _mm512_madd52lo_epu64(R[p][v], A[p][v], bi);
      uint64_t t0 =
          static_cast<uint64_t>(_mm_cvtsi128_si64(_mm512_castsi512_si128(R[p][0]))) + carry[p];
      uint64_t y = (t0 * k0[p]) & kMask52;
      carry[p] = (t0 + ((m0[p] * y) & kMask52)) >> 52;
      const __m512i yv = _mm512_set1_epi64(static_cast<long long>(y));
      VL_UNROLL
      for (int v = 0; v < V; ++v) R[p][v] = _mm512_madd52lo_epu64(R[p][v], M[p][v], yv);
      VL_UNROLL
      for (int v = 0; v + 1 < V; ++v) R[p][v] = _mm512_alignr_epi64(R[p][v + 1], R[p][v], 1);
      R[p][V - 1] = _mm512_alignr_epi64(zero, R[p][V - 1], 1);
      VL_UNROLL
      for (int v = 0; v < V; ++v) {
        R[p][v] = _mm512_madd52hi_epu64(R[p][v], A[p][v], bi);
        R[p][v] = _mm512_madd52hi_epu64(R[p][v], M[p][v], yv);
      }
    }
  }
  // Normalised in place in the output: each digit keeps 52 bits and passes
  // the rest up (the final carry of the lowest lane comes first).
  VL_UNROLL
  for (int p = 0; p < P; ++p) {
    uint64_t* out = r[p];
    VL_UNROLL
    for (int v = 0; v < V; ++v) _mm512_storeu_si512(out + 8 * v, R[p][v]);
    uint64_t c = carry[p];
    for (int j = 0; j < kDigits; ++j) {
      uint64_t value = out[j] + c;
      out[j] = value & kMask52;
      c = value >> 52;
    }
  }
}

// out = table[index] for a table of kEntries entries of 8V digits, reading
// every entry.
template <int V>
VL_IFMA_TARGET void selectEntry(uint64_t* out, const uint64_t* table, uint64_t index) {
  const __m512i wanted = _mm512_set1_epi64(static_cast<long long>(index));
  __m512i result[V];
  for (int v = 0; v < V; ++v) result[v] = _mm512_setzero_si512();
  for (uint32_t k = 0; k < kEntries; ++k) {
    __mmask8 hit = _mm512_cmpeq_epi64_mask(_mm512_set1_epi64(k), wanted);
    const uint64_t* entry = table + static_cast<size_t>(k) * 8 * V;
    for (int v = 0; v < V; ++v) {
      result[v] = _mm512_mask_mov_epi64(result[v], hit, _mm512_loadu_si512(entry + 8 * v));
    }
  }
  for (int v = 0; v < V; ++v) _mm512_storeu_si512(out + 8 * v, result[v]);
}

// From the almost-reduced form (below m + 1 after the last product with 1)
// to the value below m, in constant time.
void finalReduce(uint64_t* x, const uint64_t* m, uint32_t digits) {
  uint64_t d[IfmaModulus::kMaxDigits];
  uint64_t borrow = 0;
  for (uint32_t j = 0; j < digits; ++j) {
    uint64_t diff = x[j] - m[j] - borrow;
    borrow = diff >> 63;
    d[j] = diff & kMask52;
  }
  uint64_t keep = uint64_t{0} - borrow;  // all-ones when x < m
  for (uint32_t j = 0; j < digits; ++j) x[j] = (x[j] & keep) | (d[j] & ~keep);
  secureWipe(d, sizeof d);
}

uint64_t exponentWindow(const uint64_t* e, uint32_t bit, uint32_t count) {
  uint32_t limb = bit / 64;
  uint32_t shift = bit % 64;
  uint64_t value = e[limb] >> shift;
  if (shift + count > 64) value |= e[limb + 1] << (64 - shift);
  return value & ((uint64_t{1} << count) - 1);
}

template <int V, int P>
VL_IFMA_TARGET void powSecretImpl(const Moduli<P>& mod, const Outputs<P>& r, const Inputs<P>& x,
                                  const Inputs<P>& e, uint32_t bits) {
  constexpr int kLanes = 8 * V;
  constexpr int kDigits = digitsFor<V>();
  alignas(64) uint64_t table[P][kEntries * kLanes];
  alignas(64) uint64_t acc[P][kLanes];
  alignas(64) uint64_t entry[P][kLanes];
  alignas(64) uint64_t unit[P][kLanes] = {};
  alignas(64) uint64_t rr[P][kLanes] = {};
  // Pointers to entry k of every table, as outputs or inputs.
  auto slotOut = [&](uint32_t k) {
    Outputs<P> out;
    for (int p = 0; p < P; ++p) out[p] = table[p] + k * kLanes;
    return out;
  };
  auto slotIn = [&](uint32_t k) {
    Inputs<P> in;
    for (int p = 0; p < P; ++p) in[p] = table[p] + k * kLanes;
    return in;
  };
  Outputs<P> accOut;
  Inputs<P> accIn;
  Inputs<P> entryIn;
  Inputs<P> unitIn;
  Inputs<P> rrIn;
  for (int p = 0; p < P; ++p) {
    toDigits(entry[p], kDigits, x[p], mod[p]->limbs());
    for (int j = kDigits; j < kLanes; ++j) entry[p][j] = 0;
    std::memcpy(rr[p], mod[p]->rr(), kDigits * sizeof(uint64_t));
    unit[p][0] = 1;
    accOut[p] = acc[p];
    accIn[p] = acc[p];
    entryIn[p] = entry[p];
    unitIn[p] = unit[p];
    rrIn[p] = rr[p];
  }

  // table[k] = x^k * R: entry 0 is R mod m, entry 1 is x * R.
  amm<V, P>(slotOut(0), unitIn, rrIn, mod);
  amm<V, P>(slotOut(1), entryIn, rrIn, mod);
  for (uint32_t k = 2; k < kEntries; ++k) {
    if (k % 2 == 0) {
      amm<V, P>(slotOut(k), slotIn(k / 2), slotIn(k / 2), mod);
    } else {
      amm<V, P>(slotOut(k), slotIn(k - 1), slotIn(1), mod);
    }
  }

  for (int p = 0; p < P; ++p) std::memcpy(acc[p], table[p], sizeof acc[p]);
  uint32_t windows = (bits + kWindow - 1) / kWindow;
  for (uint32_t w = windows; w-- > 0;) {
    uint32_t bit = w * kWindow;
    uint32_t count = bits - bit < kWindow ? bits - bit : kWindow;
    if (w + 1 != windows) {
      for (uint32_t s = 0; s < count; ++s) amm<V, P>(accOut, accIn, accIn, mod);
    }
    for (int p = 0; p < P; ++p) {
      selectEntry<V>(entry[p], table[p], exponentWindow(e[p], bit, count));
    }
    amm<V, P>(accOut, accIn, entryIn, mod);
  }
  amm<V, P>(accOut, accIn, unitIn, mod);
  for (int p = 0; p < P; ++p) {
    finalReduce(acc[p], mod[p]->digits(), kDigits);
    fromDigits(r[p], mod[p]->limbs(), acc[p], kDigits);
  }
  secureWipe(table, sizeof table);
  secureWipe(acc, sizeof acc);
  secureWipe(entry, sizeof entry);
}

template <int V>
VL_IFMA_TARGET void powPublicImpl(const IfmaModulus& mod, uint64_t* r, const uint64_t* x,
                                  const BigNumber& e) {
  constexpr int kLanes = 8 * V;
  constexpr int kDigits = digitsFor<V>();
  alignas(64) uint64_t base[kLanes] = {};
  alignas(64) uint64_t acc[kLanes] = {};
  alignas(64) uint64_t unit[kLanes] = {1};
  alignas(64) uint64_t rr[kLanes] = {};
  const Moduli<1> mods = {&mod};
  const Outputs<1> accOut = {acc};
  const Outputs<1> baseOut = {base};
  const Inputs<1> accIn = {acc};
  const Inputs<1> baseIn = {base};
  const Inputs<1> unitIn = {unit};
  const Inputs<1> rrIn = {rr};
  std::memcpy(rr, mod.rr(), kDigits * sizeof(uint64_t));
  toDigits(base, kDigits, x, mod.limbs());
  amm<V, 1>(baseOut, baseIn, rrIn, mods);
  amm<V, 1>(accOut, unitIn, rrIn, mods);
  for (uint32_t bit = e.bitLength(); bit-- > 0;) {
    amm<V, 1>(accOut, accIn, accIn, mods);
    if (e.testBit(bit)) amm<V, 1>(accOut, accIn, baseIn, mods);
  }
  amm<V, 1>(accOut, accIn, unitIn, mods);
  finalReduce(acc, mod.digits(), kDigits);
  fromDigits(r, mod.limbs(), acc, kDigits);
  secureWipe(base, sizeof base);
  secureWipe(acc, sizeof acc);
}

}  // namespace

bool IfmaModulus::available() {
  static const bool supported = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512ifma") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512dq");
  }();
  return supported;
}

IfmaModulus::~IfmaModulus() {
  secureWipe(m_, sizeof m_);
  secureWipe(rr_, sizeof rr_);
}

bool IfmaModulus::init(const BigNumber& m, uint32_t limbs) {
  digits_ = 0;
  if (limbs != 16 && limbs != 32) return false;
  if (m.isNegative() || !m.isOdd() || m.isOne() || m.limbCount() > limbs) return false;
  const uint32_t digits = limbs == 16 ? 20 : 40;
  uint64_t padded[32] = {};
  std::memcpy(padded, m.limbs(), m.limbCount() * sizeof(uint64_t));
  std::memset(m_, 0, sizeof m_);
  toDigits(m_, digits, padded, limbs);

  uint64_t inverse = padded[0];
  for (int i = 0; i < 5; ++i) inverse *= 2 - padded[0] * inverse;
  k0_ = (uint64_t{0} - inverse) & kMask52;

  BigNumber power;
  BigNumber rr;
  power.setBit(2 * 52 * digits);
  if (!BigNumber::mod(power, m, &rr)) return false;
  std::memset(padded, 0, sizeof padded);
  std::memcpy(padded, rr.limbs(), rr.limbCount() * sizeof(uint64_t));
  std::memset(rr_, 0, sizeof rr_);
  toDigits(rr_, digits, padded, limbs);
  secureWipe(padded, sizeof padded);
  limbs_ = limbs;
  digits_ = digits;
  return true;
}

void IfmaModulus::powSecret(uint64_t* r, const uint64_t* x, const uint64_t* e,
                            uint32_t bits) const {
  const Moduli<1> mods = {this};
  const Outputs<1> out = {r};
  const Inputs<1> in = {x};
  const Inputs<1> exponents = {e};
  if (digits_ == 20) {
    powSecretImpl<3, 1>(mods, out, in, exponents, bits);
  } else {
    powSecretImpl<5, 1>(mods, out, in, exponents, bits);
  }
}

void IfmaModulus::powSecretPair(const IfmaModulus& m1, uint64_t* r1, const uint64_t* x1,
                                const uint64_t* e1, const IfmaModulus& m2, uint64_t* r2,
                                const uint64_t* x2, const uint64_t* e2, uint32_t bits) {
  const Moduli<2> mods = {&m1, &m2};
  const Outputs<2> out = {r1, r2};
  const Inputs<2> in = {x1, x2};
  const Inputs<2> exponents = {e1, e2};
  if (m1.digits_ == 20) {
    powSecretImpl<3, 2>(mods, out, in, exponents, bits);
  } else {
    powSecretImpl<5, 2>(mods, out, in, exponents, bits);
  }
}

void IfmaModulus::powPublic(uint64_t* r, const uint64_t* x, const BigNumber& e) const {
  if (digits_ == 20) {
    powPublicImpl<3>(*this, r, x, e);
  } else {
    powPublicImpl<5>(*this, r, x, e);
  }
}

}  // namespace vl
