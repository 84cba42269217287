#include "crypto/rsa_prime.h"

#include <array>
#include <cstring>
#include <mutex>

#include "crypto/bignum_montgomery.h"
#include "platform/c_rand.h"
#include "platform/clock.h"

namespace vl {
namespace {

constexpr uint32_t kPublicExponent = 65537;
constexpr uint32_t kSmallPrimeLimit = 1000;

// The odd primes below 1000, ascending: 167 of them.
constexpr std::array<uint16_t, 167> makeOddPrimes() {
  std::array<uint16_t, 167> primes{};
  size_t count = 0;
  for (uint16_t n = 3; n < kSmallPrimeLimit; n += 2) {
    bool prime = true;
    for (uint16_t d = 3; d * d <= n; d += 2) {
      if (n % d == 0) prime = false;
    }
    if (prime) primes[count++] = n;
  }
  return primes;
}
constexpr std::array<uint16_t, 167> kOddPrimes = makeOddPrimes();
static_assert(kOddPrimes[166] == 997);

bool isSmallPrime(uint32_t n) {
  for (uint16_t p : kOddPrimes) {
    if (p == n) return true;
  }
  return false;
}

// The C generator is seeded once per process, on the first test.
void seedBasesOnce() {
  static std::once_flag seeded;
  std::call_once(seeded, [] { cSrand(secondsSince1970()); });
}

bool equalLimbs(const uint64_t* a, const uint64_t* b, uint32_t n) {
  return std::memcmp(a, b, n * sizeof(uint64_t)) == 0;
}

bool millerRabin(const BigNumber& candidate) {
  MontgomeryModulus modulus;
  if (!modulus.init(candidate)) return false;
  const uint32_t n = modulus.limbs();
  // candidate - 1 = 2^s * d with d odd.
  BigNumber minusOne;
  BigNumber::subtract(candidate, BigNumber(1), &minusOne);
  BigNumber d = minusOne;
  uint32_t s = 0;
  while (!d.isOdd()) {
    d.shiftRight1();
    ++s;
  }
  ScratchLimbs<> one, minusOneM, base, x, exponent;
  modulus.one(one);
  modulus.load(minusOneM, minusOne);
  modulus.toMontgomery(minusOneM, minusOneM);
  std::memcpy(exponent, d.limbs(), d.limbCount() * sizeof(uint64_t));

  bool probablyPrime = true;
  for (uint32_t round = 0; round < kMillerRabinRounds && probablyPrime; ++round) {
    BigNumber a;
    do {
      uint32_t r1 = static_cast<uint32_t>(cRand());
      uint32_t r2 = static_cast<uint32_t>(cRand());
      BigNumber::mod(BigNumber((uint64_t{r1} << 16) | r2), minusOne, &a);
    } while (a.limbCount() == 1 && a.limbs()[0] <= 1);
    modulus.load(base, a);
    modulus.powSecretPlain(x, base, exponent, 64 * n);
    modulus.toMontgomery(x, x);
    if (equalLimbs(x, one, n) || equalLimbs(x, minusOneM, n)) continue;
    bool passed = false;
    for (uint32_t j = 1; j < s && !passed; ++j) {
      modulus.square(x, x);
      if (equalLimbs(x, minusOneM, n)) passed = true;
      if (equalLimbs(x, one, n)) break;  // 1 stays 1: no later square is -1
    }
    probablyPrime = passed;
  }
  return probablyPrime;
}

}  // namespace

bool isProbablePrime(const BigNumber& candidate) {
  if (candidate.isNegative() || candidate.isZero() || !candidate.isOdd()) return false;
  seedBasesOnce();
  // Below 1000 the answer is exact. (The rounds would also be meaningless
  // there: for 3 every base modulo 2 is 0 or 1, and 1 has no base at all.)
  if (candidate.bitLength() <= 10 && candidate.limbs()[0] < kSmallPrimeLimit) {
    return isSmallPrime(static_cast<uint32_t>(candidate.limbs()[0]));
  }
  for (uint16_t p : kOddPrimes) {
    if (candidate.divisibleBy(p)) return false;
  }
  return millerRabin(candidate);
}

bool generatePrime(RandomPool& pool, uint32_t bytes, uint32_t maxCandidates, BigNumber* prime) {
  if (bytes == 0 || bytes % 4 != 0 || bytes > 256) return false;
  BigNumber candidate;
  BigNumber minusOne;
  for (uint32_t attempt = 0; attempt < maxCandidates; ++attempt) {
    ByteBuffer raw;
    if (!pool.generate(bytes, raw)) return false;
    candidate.fromBytes(raw.span());
    if (!candidate.isOdd()) BigNumber::add(candidate, BigNumber(1), &candidate);
    candidate.setBit(8 * bytes - 1);
    candidate.setBit(8 * bytes - 2);
    BigNumber::subtract(candidate, BigNumber(1), &minusOne);
    if (minusOne.gcdSmall(kPublicExponent) != 1) continue;
    if (isProbablePrime(candidate)) {
      *prime = candidate;
      return true;
    }
  }
  return false;
}

}  // namespace vl
