// MontgomeryModulus: fast arithmetic modulo one odd number of up to 4096 bits.
//
// Values are arrays of limbs() 64-bit limbs, least significant first, kept in
// Montgomery form (x * R mod m with R = 2^(64 * limbs())). The products,
// reductions and the secret-exponent power take the same path whatever the
// values are: no branch and no memory index depends on them, so the private
// RSA operation and the prime tests leak nothing through timing. Only
// expPublic, for public exponents, follows the exponent's bits.
//
// For 1024- and 2048-bit widths the powers run on the AVX-512 IFMA code when
// the processor has it (see bignum_ifma.h), and the products at those widths
// on MULX/ADCX/ADOX where the processor has BMI2 and ADX (bignum_adx.h);
// the results are the same.
//
// An initialised modulus is read-only and may be shared between threads.
#pragma once

#include <cstdint>
#include <optional>

#include "core/secure_wipe.h"
#include "crypto/bignum.h"
#include "crypto/bignum_ifma.h"

namespace vl {

// The ways the arithmetic can run, slowest first. kAdx: products on
// MULX/ADCX/ADOX. kIfma: powers on AVX-512 IFMA, other products as kAdx
// where the processor has BMI2 and ADX.
enum class ArithmeticPath { kPortable, kAdx, kIfma };

class MontgomeryModulus {
 public:
  static constexpr uint32_t kMaxLimbs = 64;

  MontgomeryModulus() = default;
  MontgomeryModulus(const MontgomeryModulus&) = default;
  MontgomeryModulus& operator=(const MontgomeryModulus&) = default;
  ~MontgomeryModulus();

  // Sets up arithmetic modulo m, which must be odd and above 1. `limbs` is the
  // working width: 0 means as many limbs as m needs; a larger width pads m
  // with zero limbs (so that the time depends only on the width, not on m's
  // exact size). False when m is unsuitable or wider than kMaxLimbs.
  bool init(const BigNumber& m, uint32_t limbs = 0);
  bool valid() const { return limbs_ != 0; }
  uint32_t limbs() const { return limbs_; }
  // The path this modulus was set up for (a width without a kernel of its
  // own uses the portable products).
  ArithmeticPath path() const { return path_; }
  const uint64_t* modulus() const { return m_; }

  // r = a * b / R mod m, fully reduced. Needs a * b < m * R (true when one
  // factor is below m and the other below R). r may alias a or b.
  void multiply(uint64_t* r, const uint64_t* a, const uint64_t* b) const;
  void square(uint64_t* r, const uint64_t* a) const;
  // r = t / R mod m for a value t of 2 * limbs() limbs below m * R.
  void reduceWide(uint64_t* r, const uint64_t* t) const;
  // Montgomery form of a value below R, and back.
  void toMontgomery(uint64_t* r, const uint64_t* a) const { multiply(r, a, rr_); }
  void fromMontgomery(uint64_t* r, const uint64_t* a) const;
  // R mod m: the Montgomery form of 1.
  void one(uint64_t* r) const;
  // r = a - b mod m for a, b below m.
  void subtractMod(uint64_t* r, const uint64_t* a, const uint64_t* b) const;

  // r = a^e for a in Montgomery form, r in Montgomery form. The exponent is
  // read as exactly `exponentBits` bits (limbs of `exponent` beyond those bits
  // are not read); the work done is the same for every exponent of that
  // width. exponentBits may be at most 64 * kMaxLimbs.
  void powSecret(uint64_t* r, const uint64_t* a, const uint64_t* exponent,
                 uint32_t exponentBits) const;
  // r = x^e mod m for x < m, both in plain form, constant time over exactly
  // `exponentBits` bits as powSecret.
  void powSecretPlain(uint64_t* r, const uint64_t* x, const uint64_t* exponent,
                      uint32_t exponentBits) const;
  // Two such powers with moduli of the same width, interleaved where the
  // processor allows (the two halves of a CRT private-key operation).
  static void powSecretPlainPair(const MontgomeryModulus& m1, uint64_t* r1, const uint64_t* x1,
                                 const uint64_t* e1, const MontgomeryModulus& m2, uint64_t* r2,
                                 const uint64_t* x2, const uint64_t* e2, uint32_t exponentBits);
  // result = x^e mod m for 0 <= x < m, square-and-multiply over the bits of a
  // public exponent (e may be any size).
  bool expPublic(const BigNumber& x, const BigNumber& e, BigNumber* result) const;

  // Copies a non-negative number into `limbs()` limbs; false when it is wider.
  bool load(uint64_t* r, const BigNumber& x) const;

  // The IFMA form of this modulus; valid() only where the powers run on it.
  const IfmaModulus& ifma() const { return ifma_; }

 private:
  using MulFn = void (*)(uint64_t*, const uint64_t*, const uint64_t*, const uint64_t*, uint64_t,
                         uint32_t);
  using SqrFn = void (*)(uint64_t*, const uint64_t*, const uint64_t*, uint64_t, uint32_t);

  uint64_t m_[kMaxLimbs] = {};
  uint64_t rr_[kMaxLimbs] = {};  // R^2 mod m
  uint64_t n0_ = 0;              // -m^-1 mod 2^64
  uint32_t limbs_ = 0;
  MulFn mul_ = nullptr;
  SqrFn sqr_ = nullptr;  // a squaring of its own, where the path has one
  ArithmeticPath path_ = ArithmeticPath::kPortable;
  IfmaModulus ifma_;  // set up when the processor and the width allow
};

// True when this processor can run `path`.
bool arithmeticPathAvailable(ArithmeticPath path);
// Test and benchmark hook: moduli set up afterwards use `path`, which must be
// available; nullopt returns to the fastest the processor has.
void forceArithmeticPath(std::optional<ArithmeticPath> path);

// A zeroed array of limbs on the stack, wiped when it goes out of scope: the
// scratch space of computations on secret values.
template <uint32_t N = MontgomeryModulus::kMaxLimbs>
class ScratchLimbs {
 public:
  ScratchLimbs() = default;
  ScratchLimbs(const ScratchLimbs&) = delete;
  ScratchLimbs& operator=(const ScratchLimbs&) = delete;
  ~ScratchLimbs() { secureWipe(limbs_, sizeof limbs_); }

  operator uint64_t*() { return limbs_; }
  operator const uint64_t*() const { return limbs_; }

 private:
  uint64_t limbs_[N] = {};
};

}  // namespace vl
