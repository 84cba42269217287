// The Montgomery product on 64-bit limbs with the MULX, ADCX and ADOX
// instructions (BMI2 and ADX), for the widths of RSA-2048 and its halves.
//
// MULX multiplies without touching the flags, and ADCX and ADOX add through
// two separate carry flags, so each row adds both halves of every 128-bit
// product in one pass, two carry chains running side by side. Nothing
// branches on or indexes by the values. Processors without IFMA but with
// BMI2 and ADX (nearly every x86-64 desktop processor of the last decade)
// run the private-key operation on this; MontgomeryModulus chooses it.
#pragma once

#include <cstdint>

namespace vl::adx {

// True when the processor has BMI2 and ADX (asked once), on x86-64 only.
bool available();

// Row by row Montgomery product for N = 16 or 32 limbs: t[0..N] (N + 1
// limbs) = a * b / R modulo m, below 2m, for a and b below m and n0 =
// -m^-1 mod 2^64. The caller subtracts m once if needed. t must not alias a
// or b. Call only when available().
void montRows16(uint64_t* t, const uint64_t* a, const uint64_t* b, const uint64_t* m, uint64_t n0);
void montRows32(uint64_t* t, const uint64_t* a, const uint64_t* b, const uint64_t* m, uint64_t n0);
// The same for a * a with N = 16, with about a quarter fewer multiplications.
void montSquare16(uint64_t* t, const uint64_t* a, const uint64_t* m, uint64_t n0);

}  // namespace vl::adx
