// Prime generation for RSA keys.
//
// A candidate is drawn from the random pool, made odd, given its two top bits
// (so that the product of two such primes has exactly twice their bits),
// screened against e = 65537 and the odd primes below 1000, and then put
// through 25 Miller-Rabin rounds whose bases come from the classic C
// generator. The exponentiations run in constant time, since the candidate
// that passes becomes a secret factor.
#pragma once

#include <cstdint>

#include "crypto/bignum.h"
#include "crypto/random_pool.h"

namespace vl {

inline constexpr uint32_t kMillerRabinRounds = 25;

// The probable-prime test: 0 and even numbers fail; numbers below 1000 are
// looked up among the small primes; others must survive trial division by
// the 167 odd primes from 3 to 997 and 25 Miller-Rabin rounds. The first call
// in a process seeds the C generator with the current time.
bool isProbablePrime(const BigNumber& candidate);

// A prime of exactly 8 * `bytes` bits (bytes a multiple of 4, at most 256)
// with its two top bits set and gcd(prime - 1, 65537) = 1, from at most
// `maxCandidates` candidates. False when the pool refuses (too little credit,
// cancelled) or no candidate passed.
bool generatePrime(RandomPool& pool, uint32_t bytes, uint32_t maxCandidates, BigNumber* prime);

}  // namespace vl
