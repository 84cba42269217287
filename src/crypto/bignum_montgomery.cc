#include "crypto/bignum_montgomery.h"

#include <atomic>
#include <cstring>

#include "core/secure_wipe.h"
#include "crypto/bignum_adx.h"

namespace vl {
namespace {

using u128 = unsigned __int128;
constexpr uint32_t kMax = MontgomeryModulus::kMaxLimbs;

// The kernels take their width either as a template argument (N > 0: the
// compiler unrolls the inner loops for the common RSA sizes) or at run time
// (N = 0).
#define VL_UNROLL_ROW _Pragma("GCC unroll 32")

template <uint32_t N>
inline uint32_t width(uint32_t n) {
  return N != 0 ? N : n;
}

// All-ones when bit is 1, zero when it is 0, without a branch.
inline uint64_t maskFromBit(uint64_t bit) { return uint64_t{0} - bit; }

// r = (value - m if that does not go below zero, else value), where value is
// t[0..n) plus `top` * 2^(64n) and below 2m. Constant time.
inline void finalSubtract(uint64_t* r, const uint64_t* t, uint64_t top, const uint64_t* m,
                          uint32_t n) {
  uint64_t d[kMax];
  uint64_t borrow = 0;
  for (uint32_t j = 0; j < n; ++j) {
    u128 diff = static_cast<u128>(t[j]) - m[j] - borrow;
    d[j] = static_cast<uint64_t>(diff);
    borrow = static_cast<uint64_t>(diff >> 64) & 1;
  }
  uint64_t useDifference = maskFromBit(top | (borrow ^ 1));
  for (uint32_t j = 0; j < n; ++j) r[j] = (d[j] & useDifference) | (t[j] & ~useDifference);
}

// r = t / R mod m; t has 2n limbs and is overwritten.
void redc(uint64_t* r, uint64_t* t, const uint64_t* m, uint64_t n0, uint32_t n) {
  uint64_t extra = 0;
  for (uint32_t i = 0; i < n; ++i) {
    uint64_t u = t[i] * n0;
    uint64_t carry = 0;
    VL_UNROLL_ROW
    for (uint32_t j = 0; j < n; ++j) {
      u128 p = static_cast<u128>(u) * m[j] + t[i + j] + carry;
      t[i + j] = static_cast<uint64_t>(p);
      carry = static_cast<uint64_t>(p >> 64);
    }
    u128 s = static_cast<u128>(t[i + n]) + carry + extra;
    t[i + n] = static_cast<uint64_t>(s);
    extra = static_cast<uint64_t>(s >> 64);
  }
  finalSubtract(r, t + n, extra, m, n);
}

// A 192-bit column sum for the product-scanning kernel.
struct Column {
  u128 low = 0;
  uint64_t high = 0;
};

inline void multiplyAdd(Column& c, uint64_t x, uint64_t y) {
  u128 p = static_cast<u128>(x) * y;
  c.low += p;
  c.high += c.low < p ? 1 : 0;
}

// The lowest word of the sum; the sum moves down one word.
inline uint64_t shiftColumn(Column& c) {
  uint64_t word = static_cast<uint64_t>(c.low);
  c.low = (c.low >> 64) | (static_cast<u128>(c.high) << 64);
  c.high = 0;
  return word;
}

// r = a * b / R mod m by product scanning with the reduction interleaved:
// column k of a * b and of u * m is summed in registers, the multiple u[k]
// of m that clears the column is chosen while k < n, and the columns from n
// on are the result. Fewer memory round trips than row by row.
template <uint32_t N>
void mulKernel(uint64_t* r, const uint64_t* a, const uint64_t* b, const uint64_t* m, uint64_t n0,
               uint32_t rn) {
  const uint32_t n = width<N>(rn);
  uint64_t u[kMax];
  uint64_t t[kMax];
  Column column;
  for (uint32_t k = 0; k < n; ++k) {
    VL_UNROLL_ROW
    for (uint32_t i = 0; i <= k; ++i) multiplyAdd(column, a[i], b[k - i]);
    VL_UNROLL_ROW
    for (uint32_t i = 0; i < k; ++i) multiplyAdd(column, u[i], m[k - i]);
    u[k] = static_cast<uint64_t>(column.low) * n0;
    multiplyAdd(column, u[k], m[0]);
    shiftColumn(column);
  }
  for (uint32_t k = n; k + 1 < 2 * n; ++k) {
    VL_UNROLL_ROW
    for (uint32_t i = k - n + 1; i < n; ++i) multiplyAdd(column, a[i], b[k - i]);
    VL_UNROLL_ROW
    for (uint32_t i = k - n + 1; i < n; ++i) multiplyAdd(column, u[i], m[k - i]);
    t[k - n] = shiftColumn(column);
  }
  t[n - 1] = static_cast<uint64_t>(column.low);
  finalSubtract(r, t, static_cast<uint64_t>(column.low >> 64), m, n);
  secureWipe(u, n * sizeof(uint64_t));
  secureWipe(t, n * sizeof(uint64_t));
}

// The same product on MULX/ADCX/ADOX, for the widths that have a kernel.
template <uint32_t N>
void adxKernel(uint64_t* r, const uint64_t* a, const uint64_t* b, const uint64_t* m, uint64_t n0,
               uint32_t) {
  static_assert(N == 16 || N == 32);
  uint64_t t[N + 1];
  if constexpr (N == 16) {
    adx::montRows16(t, a, b, m, n0);
  } else {
    adx::montRows32(t, a, b, m, n0);
  }
  finalSubtract(r, t, t[N], m, N);
  secureWipe(t, sizeof t);
}

template <uint32_t N>
void adxSquare(uint64_t* r, const uint64_t* a, const uint64_t* m, uint64_t n0, uint32_t) {
  static_assert(N == 16);
  uint64_t t[N + 1];
  adx::montSquare16(t, a, m, n0);
  finalSubtract(r, t, t[N], m, N);
  secureWipe(t, sizeof t);
}

// Constant-time table read: out = table[index], touching every entry.
void selectEntry(uint64_t* out, const uint64_t* table, uint32_t entries, uint32_t n,
                 uint64_t index) {
  for (uint32_t j = 0; j < n; ++j) out[j] = 0;
  for (uint32_t k = 0; k < entries; ++k) {
    uint64_t diff = k ^ index;
    uint64_t mask = ((diff | (uint64_t{0} - diff)) >> 63) - 1;  // all-ones when k == index
    const uint64_t* entry = table + static_cast<size_t>(k) * n;
    for (uint32_t j = 0; j < n; ++j) out[j] |= entry[j] & mask;
  }
}

// Bits [bit, bit + count) of a little-endian limb array, reading no limb at
// or beyond `limbCount`.
uint64_t exponentWindow(const uint64_t* e, uint32_t limbCount, uint32_t bit, uint32_t count) {
  uint32_t limb = bit / 64;
  uint32_t shift = bit % 64;
  uint64_t value = limb < limbCount ? e[limb] >> shift : 0;
  if (shift + count > 64 && limb + 1 < limbCount) value |= e[limb + 1] << (64 - shift);
  return value & ((uint64_t{1} << count) - 1);
}

// The forced path plus one; 0 when none is forced.
std::atomic<int> g_forcedPath{0};

ArithmeticPath chosenPath() {
  int forced = g_forcedPath.load();
  if (forced != 0) return static_cast<ArithmeticPath>(forced - 1);
  if (IfmaModulus::available()) return ArithmeticPath::kIfma;
  if (adx::available()) return ArithmeticPath::kAdx;
  return ArithmeticPath::kPortable;
}

}  // namespace

bool arithmeticPathAvailable(ArithmeticPath path) {
  switch (path) {
    case ArithmeticPath::kPortable:
      return true;
    case ArithmeticPath::kAdx:
      return adx::available();
    case ArithmeticPath::kIfma:
      return IfmaModulus::available();
  }
  return false;
}

void forceArithmeticPath(std::optional<ArithmeticPath> path) {
  g_forcedPath.store(path ? static_cast<int>(*path) + 1 : 0);
}

MontgomeryModulus::~MontgomeryModulus() {
  secureWipe(m_, sizeof m_);
  secureWipe(rr_, sizeof rr_);
  n0_ = 0;
}

bool MontgomeryModulus::init(const BigNumber& m, uint32_t limbs) {
  limbs_ = 0;
  if (m.isNegative() || !m.isOdd() || m.isOne()) return false;
  uint32_t needed = m.limbCount();
  uint32_t n = limbs == 0 ? needed : limbs;
  if (n < needed || n > kMaxLimbs) return false;
  std::memset(m_, 0, sizeof m_);
  std::memcpy(m_, m.limbs(), needed * sizeof(uint64_t));

  // Newton's iteration doubles the correct low bits of m^-1 mod 2^64 each
  // step, starting from 3 (an odd m is its own inverse modulo 8).
  uint64_t inverse = m_[0];
  for (int i = 0; i < 5; ++i) inverse *= 2 - m_[0] * inverse;
  n0_ = uint64_t{0} - inverse;

  // R^2 mod m by one long division.
  BigNumber r2;
  BigNumber rr;
  r2.setBit(128 * n);
  if (!BigNumber::mod(r2, m, &rr)) return false;
  std::memset(rr_, 0, sizeof rr_);
  std::memcpy(rr_, rr.limbs(), rr.limbCount() * sizeof(uint64_t));

  const ArithmeticPath path = chosenPath();
  // The products outside the IFMA powers use MULX/ADX too, where present.
  const bool adx = path != ArithmeticPath::kPortable && adx::available();
  sqr_ = nullptr;
  switch (n) {
    case 16:
      mul_ = adx ? adxKernel<16> : mulKernel<16>;
      if (adx) sqr_ = adxSquare<16>;
      break;
    case 32:
      mul_ = adx ? adxKernel<32> : mulKernel<32>;
      break;
    default:
      mul_ = mulKernel<0>;
      break;
  }
  path_ = (n == 16 || n == 32) ? path : ArithmeticPath::kPortable;
  limbs_ = n;
  ifma_ = IfmaModulus();
  if (path == ArithmeticPath::kIfma) ifma_.init(m, n);
  return true;
}

void MontgomeryModulus::powSecretPlain(uint64_t* r, const uint64_t* x, const uint64_t* exponent,
                                       uint32_t exponentBits) const {
  if (ifma_.valid()) {
    ifma_.powSecret(r, x, exponent, exponentBits);
    return;
  }
  uint64_t base[kMax];
  toMontgomery(base, x);
  powSecret(r, base, exponent, exponentBits);
  fromMontgomery(r, r);
  secureWipe(base, sizeof base);
}

void MontgomeryModulus::powSecretPlainPair(const MontgomeryModulus& m1, uint64_t* r1,
                                           const uint64_t* x1, const uint64_t* e1,
                                           const MontgomeryModulus& m2, uint64_t* r2,
                                           const uint64_t* x2, const uint64_t* e2,
                                           uint32_t exponentBits) {
  if (m1.ifma_.valid() && m2.ifma_.valid() && m1.limbs_ == m2.limbs_) {
    IfmaModulus::powSecretPair(m1.ifma_, r1, x1, e1, m2.ifma_, r2, x2, e2, exponentBits);
    return;
  }
  m1.powSecretPlain(r1, x1, e1, exponentBits);
  m2.powSecretPlain(r2, x2, e2, exponentBits);
}

void MontgomeryModulus::multiply(uint64_t* r, const uint64_t* a, const uint64_t* b) const {
  mul_(r, a, b, m_, n0_, limbs_);
}

void MontgomeryModulus::square(uint64_t* r, const uint64_t* a) const {
  if (sqr_ != nullptr) {
    sqr_(r, a, m_, n0_, limbs_);
    return;
  }
  mul_(r, a, a, m_, n0_, limbs_);
}

void MontgomeryModulus::reduceWide(uint64_t* r, const uint64_t* t) const {
  uint64_t work[2 * kMax];
  std::memcpy(work, t, 2 * limbs_ * sizeof(uint64_t));
  redc(r, work, m_, n0_, limbs_);
  secureWipe(work, sizeof work);
}

void MontgomeryModulus::fromMontgomery(uint64_t* r, const uint64_t* a) const {
  uint64_t wide[2 * kMax] = {};
  std::memcpy(wide, a, limbs_ * sizeof(uint64_t));
  redc(r, wide, m_, n0_, limbs_);
  secureWipe(wide, sizeof wide);
}

void MontgomeryModulus::one(uint64_t* r) const {
  uint64_t unit[kMax] = {1};
  toMontgomery(r, unit);
}

void MontgomeryModulus::subtractMod(uint64_t* r, const uint64_t* a, const uint64_t* b) const {
  uint64_t borrow = 0;
  for (uint32_t j = 0; j < limbs_; ++j) {
    u128 diff = static_cast<u128>(a[j]) - b[j] - borrow;
    r[j] = static_cast<uint64_t>(diff);
    borrow = static_cast<uint64_t>(diff >> 64) & 1;
  }
  // Add m back when the difference went negative.
  uint64_t mask = maskFromBit(borrow);
  uint64_t carry = 0;
  for (uint32_t j = 0; j < limbs_; ++j) {
    u128 sum = static_cast<u128>(r[j]) + (m_[j] & mask) + carry;
    r[j] = static_cast<uint64_t>(sum);
    carry = static_cast<uint64_t>(sum >> 64);
  }
}

void MontgomeryModulus::powSecret(uint64_t* r, const uint64_t* a, const uint64_t* exponent,
                                  uint32_t exponentBits) const {
  // Fixed windows: every window costs `window` squarings and one
  // multiplication by a table entry read in constant time, also when the
  // window is zero (the entry is then 1).
  constexpr uint32_t kWindow = 5;
  constexpr uint32_t kEntries = 1u << kWindow;
  const uint32_t n = limbs_;
  const uint32_t exponentLimbs = (exponentBits + 63) / 64;
  uint64_t table[kEntries * kMax];
  uint64_t acc[kMax];
  uint64_t entry[kMax];

  one(table);
  std::memcpy(table + n, a, n * sizeof(uint64_t));
  for (uint32_t k = 2; k < kEntries; ++k) {
    uint64_t* slot = table + k * n;
    if (k % 2 == 0) {
      square(slot, table + (k / 2) * n);
    } else {
      multiply(slot, table + (k - 1) * n, a);
    }
  }

  uint32_t windows = (exponentBits + kWindow - 1) / kWindow;
  one(acc);
  for (uint32_t w = windows; w-- > 0;) {
    uint32_t bit = w * kWindow;
    uint32_t count = exponentBits - bit < kWindow ? exponentBits - bit : kWindow;
    if (w + 1 != windows) {
      for (uint32_t s = 0; s < count; ++s) square(acc, acc);
    }
    uint64_t index = exponentWindow(exponent, exponentLimbs, bit, count);
    selectEntry(entry, table, kEntries, n, index);
    multiply(acc, acc, entry);
  }
  std::memcpy(r, acc, n * sizeof(uint64_t));
  secureWipe(table, kEntries * n * sizeof(uint64_t));
  secureWipe(acc, sizeof acc);
  secureWipe(entry, sizeof entry);
}

bool MontgomeryModulus::load(uint64_t* r, const BigNumber& x) const {
  if (x.isNegative() || x.limbCount() > limbs_) return false;
  std::memset(r, 0, limbs_ * sizeof(uint64_t));
  std::memcpy(r, x.limbs(), x.limbCount() * sizeof(uint64_t));
  return true;
}

bool MontgomeryModulus::expPublic(const BigNumber& x, const BigNumber& e, BigNumber* result) const {
  if (!valid()) return false;
  // The base may be secret (the check of a private-key result).
  ScratchLimbs<> base;
  ScratchLimbs<> acc;
  if (!load(base, x)) return false;
  if (ifma_.valid()) {
    ifma_.powPublic(acc, base, e);
    return result->setLimbs(acc, limbs_);
  }
  toMontgomery(base, base);
  one(acc);
  for (uint32_t bit = e.bitLength(); bit-- > 0;) {
    square(acc, acc);
    if (e.testBit(bit)) multiply(acc, acc, base);
  }
  fromMontgomery(acc, acc);
  return result->setLimbs(acc, limbs_);
}

}  // namespace vl
