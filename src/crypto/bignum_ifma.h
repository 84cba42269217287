// IfmaModulus: modular powers for 1024- and 2048-bit moduli on the AVX-512
// IFMA instructions (52-bit multiply-add on eight lanes at once).
//
// Numbers are held as 20 or 40 digits of 52 bits, and products use "almost"
// Montgomery multiplication (results below 2m, R = 2^(52 * digits)), with a
// full reduction only at the end. Like the portable code, the secret-exponent
// power uses fixed windows and reads its table in constant time; no branch or
// address depends on the exponent or the values. Two powers with different
// moduli (the CRT halves of a private-key operation) can run interleaved, which
// keeps the multipliers busy while each one waits for its own results.
//
// Used only when the processor reports AVX-512F and IFMA (asked once); the
// portable Montgomery code is used everywhere else.
#pragma once

#include <cstdint>

#include "crypto/bignum.h"

namespace vl {

class IfmaModulus {
 public:
  static constexpr uint32_t kMaxDigits = 40;

  // True when the processor has the instructions this code needs.
  static bool available();

  IfmaModulus() = default;
  ~IfmaModulus();

  // Sets up arithmetic modulo the odd m > 1, worked on `limbs` 64-bit limbs
  // (16 or 32; m must fit). False for any other width or an unsuitable m.
  bool init(const BigNumber& m, uint32_t limbs);
  bool valid() const { return digits_ != 0; }
  uint32_t limbs() const { return limbs_; }

  // r = x^e mod m for x < m, values as limbs() limbs in plain (not Montgomery)
  // form. The exponent is read over exactly `bits` bits, in constant time.
  void powSecret(uint64_t* r, const uint64_t* x, const uint64_t* e, uint32_t bits) const;
  // Two powers at once; both moduli must have the same width.
  static void powSecretPair(const IfmaModulus& m1, uint64_t* r1, const uint64_t* x1,
                            const uint64_t* e1, const IfmaModulus& m2, uint64_t* r2,
                            const uint64_t* x2, const uint64_t* e2, uint32_t bits);
  // r = x^e mod m for x < m and a public exponent (square-and-multiply).
  void powPublic(uint64_t* r, const uint64_t* x, const BigNumber& e) const;

  // The digit form of this modulus; for the kernels.
  const uint64_t* digits() const { return m_; }
  const uint64_t* rr() const { return rr_; }
  uint64_t k0() const { return k0_; }
  uint32_t digitCount() const { return digits_; }

 private:
  uint64_t m_[kMaxDigits] = {};
  uint64_t rr_[kMaxDigits] = {};  // R^2 mod m
  uint64_t k0_ = 0;               // -m^-1 mod 2^52
  uint32_t digits_ = 0;
  uint32_t limbs_ = 0;
};

}  // namespace vl
