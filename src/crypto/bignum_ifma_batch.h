// IfmaBatch: up to eight secret-exponent powers under one modulus at once, on
// the AVX-512 IFMA instructions.
//
// Where IfmaModulus spreads one number over the lanes of a register, here
// each of the eight 64-bit lanes holds its own number: register j holds
// digit j (52 bits) of all eight. Every lane follows the same schedule and
// nothing waits on a reduction digit read out of a register, so the
// multipliers stay busy: eight powers take about four and a half times as
// long as one in the spread layout. Made for the private-key operation on
// many ciphertexts of one key: the CRT halves share their exponent and
// modulus across all of them, only the bases differ.
//
// Fixed 5-bit windows, the table read in full with masked blends, no branch
// or address depending on the exponent or the values. Callers check
// IfmaModulus::available() first.
#pragma once

#include <cstdint>

#include "crypto/bignum_ifma.h"

namespace vl {

class IfmaBatch {
 public:
  static constexpr uint32_t kLanes = 8;
  // Moduli of 1024 bits (16 limbs, 20 digits): the halves of RSA-2048.
  static constexpr uint32_t kDigits = 20;

  // True when `mod` is set up and of the width handled here.
  static bool supports(const IfmaModulus& mod);

  // r[k] = x[k]^e mod m for k < count (1..kLanes), each x[k] < m, values as
  // mod.limbs() limbs in plain form. The exponent is read over exactly
  // `bits` bits. Lanes beyond count are worked on zero and not written.
  // False (nothing written) for a count out of range or a modulus that
  // supports() refuses.
  static bool powSecret(const IfmaModulus& mod, uint64_t* const* r, const uint64_t* const* x,
                        uint32_t count, const uint64_t* e, uint32_t bits);
};

}  // namespace vl
