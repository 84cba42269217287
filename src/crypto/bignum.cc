#include "crypto/bignum.h"

#include <algorithm>
#include <cstring>

#include "core/secure_wipe.h"
#include "crypto/bignum_montgomery.h"

namespace vl {
namespace {

using u128 = unsigned __int128;

// r[0..n) = a[0..n) + b[0..n); returns the carry.
uint64_t addLimbs(uint64_t* r, const uint64_t* a, const uint64_t* b, uint32_t n) {
  uint64_t carry = 0;
  for (uint32_t i = 0; i < n; ++i) {
    u128 sum = static_cast<u128>(a[i]) + b[i] + carry;
    r[i] = static_cast<uint64_t>(sum);
    carry = static_cast<uint64_t>(sum >> 64);
  }
  return carry;
}

// r[0..n) = a[0..n) - b[0..n); returns the borrow.
uint64_t subtractLimbs(uint64_t* r, const uint64_t* a, const uint64_t* b, uint32_t n) {
  uint64_t borrow = 0;
  for (uint32_t i = 0; i < n; ++i) {
    u128 diff = static_cast<u128>(a[i]) - b[i] - borrow;
    r[i] = static_cast<uint64_t>(diff);
    borrow = static_cast<uint64_t>(diff >> 64) & 1;
  }
  return borrow;
}

int compareLimbs(const uint64_t* a, uint32_t an, const uint64_t* b, uint32_t bn) {
  if (an != bn) return an < bn ? -1 : 1;
  for (uint32_t i = an; i-- > 0;) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  return 0;
}

int countLeadingZeros(uint64_t x) { return x == 0 ? 64 : __builtin_clzll(x); }

// Knuth's algorithm D on normalised magnitudes: u has m + n limbs plus one
// spare at u[m + n], v has n >= 2 limbs with its top bit set. The quotient
// (m + 1 limbs) goes to q, the remainder is left in u[0..n).
void divideNormalized(uint64_t* u, uint32_t un, const uint64_t* v, uint32_t n, uint64_t* q) {
  const uint64_t vTop = v[n - 1];
  const uint64_t vNext = v[n - 2];
  for (uint32_t j = un - n + 1; j-- > 0;) {
    u128 numerator = (static_cast<u128>(u[j + n]) << 64) | u[j + n - 1];
    u128 qhat = numerator / vTop;
    u128 rhat = numerator % vTop;
    while ((qhat >> 64) != 0 || qhat * vNext > ((rhat << 64) | u[j + n - 2])) {
      qhat -= 1;
      rhat += vTop;
      if ((rhat >> 64) != 0) break;
    }
    // u[j..j+n] -= qhat * v
    uint64_t carry = 0;
    uint64_t borrow = 0;
    for (uint32_t i = 0; i < n; ++i) {
      u128 product = qhat * v[i] + carry;
      carry = static_cast<uint64_t>(product >> 64);
      u128 diff = static_cast<u128>(u[i + j]) - static_cast<uint64_t>(product) - borrow;
      u[i + j] = static_cast<uint64_t>(diff);
      borrow = static_cast<uint64_t>(diff >> 64) & 1;
    }
    u128 diff = static_cast<u128>(u[j + n]) - carry - borrow;
    u[j + n] = static_cast<uint64_t>(diff);
    uint64_t digit = static_cast<uint64_t>(qhat);
    if ((diff >> 64) != 0) {
      // qhat was one too large: add v back.
      digit -= 1;
      uint64_t c = addLimbs(u + j, u + j, v, n);
      u[j + n] += c;
    }
    q[j] = digit;
  }
}

}  // namespace

BigNumber::BigNumber(uint64_t value) { limbs_[0] = value; }

BigNumber::BigNumber(const BigNumber& other) { *this = other; }

BigNumber& BigNumber::operator=(const BigNumber& other) {
  if (this == &other) return *this;
  if (used_ > other.used_) secureWipe(limbs_ + other.used_, (used_ - other.used_) * 8);
  std::memcpy(limbs_, other.limbs_, other.used_ * 8);
  used_ = other.used_;
  negative_ = other.negative_;
  return *this;
}

BigNumber::~BigNumber() { secureWipe(limbs_, sizeof limbs_); }

void BigNumber::normalize() {
  while (used_ > 1 && limbs_[used_ - 1] == 0) --used_;
  if (isZero()) negative_ = false;
}

bool BigNumber::setLimbs(const uint64_t* limbs, uint32_t count) {
  uint32_t old = used_;
  while (count > 0 && limbs[count - 1] == 0) --count;
  if (count > kMaxLimbs) {
    *this = BigNumber();
    return false;
  }
  if (count == 0) {
    limbs_[0] = 0;
    count = 1;
  } else {
    std::memmove(limbs_, limbs, count * 8);
  }
  if (old > count) secureWipe(limbs_ + count, (old - count) * 8);
  used_ = count;
  negative_ = false;
  return true;
}

bool BigNumber::fromBytes(std::span<const uint8_t> bytes) {
  secureWipe(limbs_, used_ * 8);
  used_ = 1;
  negative_ = false;
  if (bytes.size() > kMaxBytes) return false;
  for (size_t i = 0; i < bytes.size(); ++i) {
    limbs_[i / 8] |= static_cast<uint64_t>(bytes[i]) << (8 * (i % 8));
  }
  used_ = static_cast<uint32_t>(std::max<size_t>(1, (bytes.size() + 7) / 8));
  normalize();
  return true;
}

uint32_t BigNumber::wordCount() const {
  uint32_t bits = bitLength();
  return bits == 0 ? 1 : (bits + 31) / 32;
}

uint32_t BigNumber::bitLength() const {
  uint64_t top = limbs_[used_ - 1];
  if (top == 0) return 0;
  return (used_ - 1) * 64 + (64 - countLeadingZeros(top));
}

bool BigNumber::toBytes(uint8_t* out, size_t length) const {
  if ((bitLength() + 7) / 8 > length) return false;
  for (size_t i = 0; i < length; ++i) {
    size_t limb = i / 8;
    out[i] = limb < used_ ? static_cast<uint8_t>(limbs_[limb] >> (8 * (i % 8))) : 0;
  }
  return true;
}

ByteBuffer BigNumber::toBytes(uint32_t length) const {
  ByteBuffer out(std::max(length, 4 * wordCount()));
  toBytes(out.data(), out.size());
  return out;
}

bool BigNumber::testBit(uint32_t bit) const {
  uint32_t limb = bit / 64;
  return limb < used_ && ((limbs_[limb] >> (bit % 64)) & 1) != 0;
}

bool BigNumber::setBit(uint32_t bit) {
  uint32_t limb = bit / 64;
  if (limb >= kMaxLimbs) return false;
  limbs_[limb] |= uint64_t{1} << (bit % 64);
  if (limb >= used_) used_ = limb + 1;
  return true;
}

void BigNumber::clearBit(uint32_t bit) {
  uint32_t limb = bit / 64;
  if (limb >= used_) return;
  limbs_[limb] &= ~(uint64_t{1} << (bit % 64));
  normalize();
}

void BigNumber::shiftRight1() {
  for (uint32_t i = 0; i < used_; ++i) {
    uint64_t high = i + 1 < used_ ? limbs_[i + 1] << 63 : 0;
    limbs_[i] = (limbs_[i] >> 1) | high;
  }
  normalize();
}

uint32_t BigNumber::modSmall(uint32_t divisor) const {
  // Half a limb at a time, so that each step is one 64-bit division.
  uint64_t remainder = 0;
  for (uint32_t i = used_; i-- > 0;) {
    remainder = ((remainder << 32) | (limbs_[i] >> 32)) % divisor;
    remainder = ((remainder << 32) | (limbs_[i] & 0xffffffffu)) % divisor;
  }
  return static_cast<uint32_t>(remainder);
}

uint32_t BigNumber::gcdSmall(uint32_t value) const {
  uint32_t a = value;
  uint32_t b = modSmall(value);
  while (b != 0) {
    uint32_t t = a % b;
    a = b;
    b = t;
  }
  return a;
}

int BigNumber::compareMagnitude(const BigNumber& a, const BigNumber& b) {
  return compareLimbs(a.limbs_, a.used_, b.limbs_, b.used_);
}

int BigNumber::compare(const BigNumber& a, const BigNumber& b) {
  if (a.negative_ != b.negative_) return a.negative_ ? -1 : 1;
  int magnitude = compareMagnitude(a, b);
  return a.negative_ ? -magnitude : magnitude;
}

bool BigNumber::add(const BigNumber& a, const BigNumber& b, BigNumber* result) {
  if (a.negative_ != b.negative_) {
    BigNumber negated = b;
    negated.negative_ = !b.negative_;
    return subtract(a, negated, result);
  }
  const BigNumber& longer = a.used_ >= b.used_ ? a : b;
  const BigNumber& shorter = a.used_ >= b.used_ ? b : a;
  uint64_t sum[kMaxLimbs + 1] = {};
  uint64_t carry = addLimbs(sum, longer.limbs_, shorter.limbs_, shorter.used_);
  for (uint32_t i = shorter.used_; i < longer.used_; ++i) {
    u128 s = static_cast<u128>(longer.limbs_[i]) + carry;
    sum[i] = static_cast<uint64_t>(s);
    carry = static_cast<uint64_t>(s >> 64);
  }
  sum[longer.used_] = carry;
  bool negative = a.negative_;
  bool ok = result->setLimbs(sum, longer.used_ + 1);
  result->setNegative(negative);
  secureWipe(sum, sizeof sum);
  return ok;
}

bool BigNumber::subtract(const BigNumber& a, const BigNumber& b, BigNumber* result) {
  if (a.negative_ != b.negative_) {
    BigNumber negated = b;
    negated.negative_ = !b.negative_;
    return add(a, negated, result);
  }
  // Same signs: |a| - |b| or -(|b| - |a|), with a's sign.
  bool swap = compareMagnitude(a, b) < 0;
  const BigNumber& big = swap ? b : a;
  const BigNumber& small = swap ? a : b;
  uint64_t diff[kMaxLimbs] = {};
  uint64_t borrow = subtractLimbs(diff, big.limbs_, small.limbs_, small.used_);
  for (uint32_t i = small.used_; i < big.used_; ++i) {
    diff[i] = big.limbs_[i] - borrow;
    borrow = (big.limbs_[i] < borrow) ? 1 : 0;
  }
  bool negative = a.negative_ != swap;
  result->setLimbs(diff, big.used_);
  result->setNegative(negative);
  secureWipe(diff, sizeof diff);
  return true;
}

bool BigNumber::multiply(const BigNumber& a, const BigNumber& b, BigNumber* result) {
  uint32_t n = a.used_ + b.used_;
  if (a.isZero() || b.isZero()) {
    *result = BigNumber();
    return true;
  }
  if (n > kMaxLimbs + 1) return false;
  uint64_t product[kMaxLimbs + 1] = {};
  for (uint32_t i = 0; i < a.used_; ++i) {
    uint64_t carry = 0;
    for (uint32_t j = 0; j < b.used_; ++j) {
      u128 t = static_cast<u128>(a.limbs_[i]) * b.limbs_[j] + product[i + j] + carry;
      product[i + j] = static_cast<uint64_t>(t);
      carry = static_cast<uint64_t>(t >> 64);
    }
    product[i + b.used_] = carry;
  }
  bool negative = a.negative_ != b.negative_;
  bool ok = result->setLimbs(product, n);
  result->setNegative(negative);
  secureWipe(product, sizeof product);
  return ok;
}

bool BigNumber::divide(const BigNumber& a, const BigNumber& b, BigNumber* quotient,
                       BigNumber* remainder) {
  if (b.isZero()) return false;
  bool quotientNegative = a.negative_ != b.negative_;
  bool remainderNegative = a.negative_;
  if (compareMagnitude(a, b) < 0) {
    if (remainder != nullptr) {
      *remainder = a;
      remainder->setNegative(remainderNegative);
    }
    if (quotient != nullptr) *quotient = BigNumber();
    return true;
  }
  uint64_t q[kMaxLimbs + 1] = {};
  uint64_t u[kMaxLimbs + 2] = {};
  uint64_t v[kMaxLimbs] = {};
  uint32_t n = b.used_;
  uint32_t m = a.used_;
  if (n == 1) {
    uint64_t r = 0;
    for (uint32_t i = m; i-- > 0;) {
      u128 value = (static_cast<u128>(r) << 64) | a.limbs_[i];
      q[i] = static_cast<uint64_t>(value / b.limbs_[0]);
      r = static_cast<uint64_t>(value % b.limbs_[0]);
    }
    u[0] = r;
  } else {
    int shift = countLeadingZeros(b.limbs_[n - 1]);
    for (uint32_t i = 0; i < n; ++i) {
      v[i] = (b.limbs_[i] << shift) | (shift != 0 && i > 0 ? b.limbs_[i - 1] >> (64 - shift) : 0);
    }
    for (uint32_t i = 0; i <= m; ++i) {
      uint64_t low = i < m ? a.limbs_[i] << shift : 0;
      uint64_t carried = (shift != 0 && i > 0) ? a.limbs_[i - 1] >> (64 - shift) : 0;
      u[i] = low | carried;
    }
    divideNormalized(u, m, v, n, q);
    // Undo the normalisation of the remainder.
    for (uint32_t i = 0; i < n; ++i) {
      u[i] = (u[i] >> shift) | (shift != 0 && i + 1 < n + 1 ? u[i + 1] << (64 - shift) : 0);
    }
    for (uint32_t i = n; i <= m; ++i) u[i] = 0;
  }
  if (quotient != nullptr) {
    quotient->setLimbs(q, m);
    quotient->setNegative(quotientNegative);
  }
  if (remainder != nullptr) {
    remainder->setLimbs(u, n);
    remainder->setNegative(remainderNegative);
  }
  secureWipe(q, sizeof q);
  secureWipe(u, sizeof u);
  secureWipe(v, sizeof v);
  return true;
}

bool BigNumber::mod(const BigNumber& a, const BigNumber& m, BigNumber* result) {
  if (!divide(a, m, nullptr, result)) return false;
  if (result->isNegative()) {
    BigNumber magnitude = m;
    magnitude.negative_ = false;
    return add(*result, magnitude, result);
  }
  return true;
}

bool BigNumber::modExp(const BigNumber& base, const BigNumber& exponent, const BigNumber& m,
                       BigNumber* result) {
  if (exponent.isNegative() || m.isNegative() || compare(m, BigNumber(1)) <= 0) return false;
  BigNumber x;
  if (!mod(base, m, &x)) return false;
  if (m.isOdd()) {
    MontgomeryModulus modulus;
    if (modulus.init(m)) return modulus.expPublic(x, exponent, result);
  }
  // Even moduli: plain square-and-multiply with long division.
  BigNumber acc(1);
  for (uint32_t bit = exponent.bitLength(); bit-- > 0;) {
    if (!multiply(acc, acc, &acc) || !mod(acc, m, &acc)) return false;
    if (exponent.testBit(bit)) {
      if (!multiply(acc, x, &acc) || !mod(acc, m, &acc)) return false;
    }
  }
  return mod(acc, m, result);
}

bool BigNumber::modInverse(const BigNumber& a, const BigNumber& m, BigNumber* result) {
  if (m.isNegative() || compare(m, BigNumber(1)) <= 0) return false;
  // Extended Euclid keeping only the coefficient of a:
  // r0 = t0 * a (mod m), r1 = t1 * a (mod m).
  BigNumber r0 = m;
  BigNumber r1;
  if (!mod(a, m, &r1)) return false;
  BigNumber t0(0);
  BigNumber t1(1);
  BigNumber q, r2, t2, product;
  while (!r1.isZero()) {
    if (!divide(r0, r1, &q, &r2)) return false;
    if (!multiply(q, t1, &product) || !subtract(t0, product, &t2)) return false;
    r0 = r1;
    r1 = r2;
    t0 = t1;
    t1 = t2;
  }
  if (!r0.isOne()) return false;
  return mod(t0, m, result);
}

}  // namespace vl
