// BigNumber: a signed integer of up to 8256 bits in a fixed array.
//
// The arithmetic behind RSA: byte conversion, comparison, signed addition and
// subtraction, multiplication, division with remainder, modular powers and
// inverses, and the few bit operations that prime generation needs. Values
// live in a fixed array, so no operation allocates; only the byte form does.
// Limbs are 64 bits wide, but the byte form counts 32-bit words, because a
// number's L = 0 byte form (4 bytes per word in use) is hashed into secrets
// that other installations must reproduce.
//
// The operations here are general-purpose and their running time depends on
// the values. Work with secret exponents goes through MontgomeryModulus.
// A BigNumber is wiped when it is destroyed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/byte_buffer.h"

namespace vl {

class BigNumber {
 public:
  static constexpr uint32_t kMaxLimbs = 129;  // 64-bit limbs: 8256 bits
  // Byte strings that would need this many 32-bit words are refused.
  static constexpr uint32_t kMaxWords = 2 * kMaxLimbs;
  static constexpr uint32_t kMaxBytes = 4 * (kMaxWords - 1);

  BigNumber() = default;
  explicit BigNumber(uint64_t value);
  BigNumber(const BigNumber& other);
  BigNumber& operator=(const BigNumber& other);
  ~BigNumber();

  // Reads an unsigned little-endian string. False, leaving zero, when the
  // string is longer than kMaxBytes. Any length is taken, not only multiples
  // of 4; zero bytes at the top are dropped.
  bool fromBytes(std::span<const uint8_t> bytes);
  // The magnitude little-endian in max(length, 4 * wordCount()) bytes, zero
  // padded at the top. With length 0: exactly 4 * wordCount() bytes.
  ByteBuffer toBytes(uint32_t length) const;
  // Writes the magnitude into exactly `length` bytes; false when it needs more.
  bool toBytes(uint8_t* out, size_t length) const;

  // 32-bit words in use, at least 1 (zero is one word of 0).
  uint32_t wordCount() const;
  uint32_t bitLength() const;
  uint32_t limbCount() const { return used_; }
  const uint64_t* limbs() const { return limbs_; }

  bool isZero() const { return used_ == 1 && limbs_[0] == 0; }
  bool isOne() const { return used_ == 1 && limbs_[0] == 1 && !negative_; }
  bool isOdd() const { return (limbs_[0] & 1) != 0; }
  bool isNegative() const { return negative_; }
  void setNegative(bool negative) { negative_ = negative && !isZero(); }

  bool testBit(uint32_t bit) const;
  // False when the bit lies beyond the capacity.
  bool setBit(uint32_t bit);
  void clearBit(uint32_t bit);
  // Magnitude halved, rounding towards zero.
  void shiftRight1();

  // Remainder of the magnitude by a small divisor (non-zero).
  uint32_t modSmall(uint32_t divisor) const;
  bool divisibleBy(uint32_t divisor) const { return modSmall(divisor) == 0; }
  // gcd(|this|, value) for a non-zero value.
  uint32_t gcdSmall(uint32_t value) const;

  // Signed comparison: negative, zero or positive.
  static int compare(const BigNumber& a, const BigNumber& b);
  static int compareMagnitude(const BigNumber& a, const BigNumber& b);
  bool operator==(const BigNumber& other) const { return compare(*this, other) == 0; }

  // Signed arithmetic. Results may alias the operands. False when the result
  // does not fit; the result is then unspecified.
  static bool add(const BigNumber& a, const BigNumber& b, BigNumber* result);
  static bool subtract(const BigNumber& a, const BigNumber& b, BigNumber* result);
  static bool multiply(const BigNumber& a, const BigNumber& b, BigNumber* result);
  // Truncating division: quotient rounded towards zero, remainder with the
  // sign of the dividend. Either output may be null. False for a zero divisor.
  static bool divide(const BigNumber& a, const BigNumber& b, BigNumber* quotient,
                     BigNumber* remainder);
  // The remainder in [0, |m|). False for a zero modulus.
  static bool mod(const BigNumber& a, const BigNumber& m, BigNumber* result);
  // base^exponent mod m for exponent >= 0 and m > 1; meant for public
  // exponents (the time depends on the exponent's bits).
  static bool modExp(const BigNumber& base, const BigNumber& exponent, const BigNumber& m,
                     BigNumber* result);
  // a^-1 mod m in [0, m). False when m < 2 or gcd(a, m) != 1.
  static bool modInverse(const BigNumber& a, const BigNumber& m, BigNumber* result);

  // Loads raw limbs (little-endian order); higher zero limbs are dropped.
  // False when count exceeds the capacity.
  bool setLimbs(const uint64_t* limbs, uint32_t count);

 private:
  void normalize();

  uint64_t limbs_[kMaxLimbs] = {};
  uint32_t used_ = 1;
  bool negative_ = false;
};

}  // namespace vl
