#include "crypto/bignum.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/err.h>

#include <cstring>
#include <random>
#include <vector>

#include "crypto/bignum_montgomery.h"
#include "crypto/rsa_prime.h"
#include "arithmetic_path_test_util.h"
#include "rsa_test_util.h"

namespace vl {
namespace {

using test::Bn;
using test::fromOpenSsl;
using test::toOpenSsl;

BigNumber randomNumber(std::mt19937_64& random, uint32_t bytes, bool maybeNegative = false) {
  std::vector<uint8_t> raw(bytes);
  for (auto& b : raw) b = static_cast<uint8_t>(random());
  BigNumber x;
  x.fromBytes(raw);
  if (maybeNegative && (random() & 1)) x.setNegative(true);
  return x;
}

TEST(BigNumberTest, ByteFormsCountWordsAndPadToTheRequestedLength) {
  BigNumber x;
  const uint8_t five[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x00, 0x00, 0x00, 0x00};
  ASSERT_TRUE(x.fromBytes(five));
  EXPECT_EQ(x.wordCount(), 2u);
  EXPECT_EQ(x.bitLength(), 35u);
  ByteBuffer natural = x.toBytes(0);  // 4 bytes per word in use, nothing more
  ASSERT_EQ(natural.size(), 8u);
  EXPECT_EQ(0, std::memcmp(natural.data(), five, 8));
  EXPECT_EQ(x.toBytes(16).size(), 16u);
  EXPECT_EQ(x.toBytes(3).size(), 8u);  // never shorter than the value

  BigNumber zero;
  ASSERT_TRUE(zero.fromBytes(std::vector<uint8_t>(12, 0)));
  EXPECT_TRUE(zero.isZero());
  EXPECT_EQ(zero.toBytes(0).size(), 4u);  // zero is one word

  uint8_t exact[4];
  EXPECT_FALSE(x.toBytes(exact, 4));  // 5 significant bytes do not fit
}

TEST(BigNumberTest, StringsNeeding258WordsAreRefused) {
  BigNumber x;
  std::vector<uint8_t> longest(BigNumber::kMaxBytes, 0xff);  // 1028 bytes: 257 words
  EXPECT_TRUE(x.fromBytes(longest));
  EXPECT_EQ(x.wordCount(), 257u);
  longest.push_back(0);  // 1029 bytes need 258 words, even though the top byte is zero
  EXPECT_FALSE(x.fromBytes(longest));
  EXPECT_TRUE(x.isZero());
}

TEST(BigNumberTest, SignedArithmeticMatchesOpenSsl) {
  std::mt19937_64 random(11);
  BN_CTX* ctx = BN_CTX_new();
  for (int round = 0; round < 300; ++round) {
    BigNumber a = randomNumber(random, 1 + random() % 300, true);
    BigNumber b = randomNumber(random, 1 + random() % 200, true);
    if (round % 7 == 0) b = BigNumber(random() % 3);  // 0, 1, 2
    Bn oa = toOpenSsl(a);
    Bn ob = toOpenSsl(b);
    Bn expected;
    BigNumber result;

    ASSERT_TRUE(BigNumber::add(a, b, &result));
    BN_add(expected.get(), oa.get(), ob.get());
    EXPECT_EQ(BN_cmp(toOpenSsl(result).get(), expected.get()), 0) << "add " << round;

    ASSERT_TRUE(BigNumber::subtract(a, b, &result));
    BN_sub(expected.get(), oa.get(), ob.get());
    EXPECT_EQ(BN_cmp(toOpenSsl(result).get(), expected.get()), 0) << "subtract " << round;

    ASSERT_TRUE(BigNumber::multiply(a, b, &result));
    BN_mul(expected.get(), oa.get(), ob.get(), ctx);
    EXPECT_EQ(BN_cmp(toOpenSsl(result).get(), expected.get()), 0) << "multiply " << round;
    EXPECT_EQ(BigNumber::compare(a, b), BN_cmp(oa.get(), ob.get())) << round;

    if (b.isZero()) {
      EXPECT_FALSE(BigNumber::divide(a, b, &result, nullptr));
      continue;
    }
    // OpenSSL's BN_div truncates too, with the remainder taking a's sign.
    BigNumber quotient;
    BigNumber remainder;
    Bn expectedRemainder;
    ASSERT_TRUE(BigNumber::divide(a, b, &quotient, &remainder));
    BN_div(expected.get(), expectedRemainder.get(), oa.get(), ob.get(), ctx);
    EXPECT_EQ(BN_cmp(toOpenSsl(quotient).get(), expected.get()), 0) << "quotient " << round;
    EXPECT_EQ(BN_cmp(toOpenSsl(remainder).get(), expectedRemainder.get()), 0)
        << "remainder " << round;

    ASSERT_TRUE(BigNumber::mod(a, b, &result));
    BN_nnmod(expected.get(), oa.get(), ob.get(), ctx);
    EXPECT_EQ(BN_cmp(toOpenSsl(result).get(), expected.get()), 0) << "mod " << round;
  }
  BN_CTX_free(ctx);
}

// Division exercises the rare correction steps when the divisor's top limbs
// are extreme; these shapes hit them far more often than random values.
TEST(BigNumberTest, DivisionOfEdgeShapesMatchesOpenSsl) {
  BN_CTX* ctx = BN_CTX_new();
  std::vector<std::vector<uint8_t>> shapes;
  for (size_t length : {8u, 9u, 16u, 24u, 64u, 130u}) {
    shapes.push_back(std::vector<uint8_t>(length, 0xff));
    std::vector<uint8_t> top(length, 0);
    top.back() = 0x80;
    shapes.push_back(top);
    std::vector<uint8_t> bottom(length, 0xff);
    bottom.back() = 0x80;
    bottom[0] = 0x01;
    shapes.push_back(bottom);
  }
  for (const auto& x : shapes) {
    for (const auto& y : shapes) {
      BigNumber a, b, q, r;
      a.fromBytes(x);
      b.fromBytes(y);
      ASSERT_TRUE(BigNumber::divide(a, b, &q, &r));
      Bn eq, er;
      BN_div(eq.get(), er.get(), toOpenSsl(a).get(), toOpenSsl(b).get(), ctx);
      EXPECT_EQ(BN_cmp(toOpenSsl(q).get(), eq.get()), 0);
      EXPECT_EQ(BN_cmp(toOpenSsl(r).get(), er.get()), 0);
    }
  }
  BN_CTX_free(ctx);
}

TEST(BigNumberTest, ModularPowersAndInversesMatchOpenSsl) {
  std::mt19937_64 random(12);
  BN_CTX* ctx = BN_CTX_new();
  for (int round = 0; round < 40; ++round) {
    BigNumber m = randomNumber(random, 8 + random() % 120);
    if (round % 2 == 0) m.setBit(0);  // odd moduli take the Montgomery path
    if (m.bitLength() < 2) continue;
    BigNumber base = randomNumber(random, 1 + random() % 140, true);
    BigNumber exponent = randomNumber(random, 1 + random() % 40);
    BigNumber result;
    Bn expected;
    ASSERT_TRUE(BigNumber::modExp(base, exponent, m, &result));
    Bn reducedBase;
    BN_nnmod(reducedBase.get(), toOpenSsl(base).get(), toOpenSsl(m).get(), ctx);
    BN_mod_exp(expected.get(), reducedBase.get(), toOpenSsl(exponent).get(), toOpenSsl(m).get(),
               ctx);
    EXPECT_EQ(BN_cmp(toOpenSsl(result).get(), expected.get()), 0) << "modExp " << round;

    BigNumber a = randomNumber(random, 1 + random() % 100);
    bool found = BigNumber::modInverse(a, m, &result);
    BIGNUM* inverse = BN_mod_inverse(nullptr, toOpenSsl(a).get(), toOpenSsl(m).get(), ctx);
    EXPECT_EQ(found, inverse != nullptr) << "modInverse " << round;
    if (inverse != nullptr) {
      EXPECT_EQ(BN_cmp(toOpenSsl(result).get(), inverse), 0) << round;
    }
    BN_free(inverse);
    ERR_clear_error();
  }
  BigNumber result;
  EXPECT_FALSE(BigNumber::modInverse(BigNumber(6), BigNumber(9), &result));
  EXPECT_FALSE(BigNumber::modExp(BigNumber(2), BigNumber(3), BigNumber(1), &result));
  BN_CTX_free(ctx);
}

TEST(BigNumberTest, SmallDivisorsAndBitOperations) {
  BigNumber x;
  const uint8_t bytes[] = {0x39, 0x30, 0x05, 0x00, 0x00,
                           0x00, 0x00, 0x00, 0x00, 0x01};  // 2^72 + 0x053039
  x.fromBytes(bytes);
  Bn ox = toOpenSsl(x);
  for (uint32_t divisor : {3u, 7u, 997u, 65537u, 4294967291u}) {
    EXPECT_EQ(x.modSmall(divisor), BN_mod_word(ox.get(), divisor)) << divisor;
  }
  EXPECT_EQ(BigNumber(65537 * 3).gcdSmall(65537), 65537u);
  EXPECT_EQ(BigNumber(65538).gcdSmall(65537), 1u);

  ASSERT_TRUE(x.setBit(100));
  EXPECT_EQ(x.bitLength(), 101u);
  x.clearBit(100);
  x.clearBit(72);
  EXPECT_EQ(x.bitLength(), 19u);  // the top limbs are dropped
  x.shiftRight1();
  EXPECT_EQ(x.limbs()[0], 0x053039u / 2);
  EXPECT_FALSE(x.setBit(64 * BigNumber::kMaxLimbs));
}

// The constant-time power for every width the program uses (16 and 32 limbs
// have their own unrolled code) and a few others, with padded widths.
TEST(MontgomeryModulusTest, SecretPowersMatchOpenSsl) {
  std::mt19937_64 random(13);
  BN_CTX* ctx = BN_CTX_new();
  for (uint32_t limbs : {1u, 3u, 8u, 15u, 16u, 31u, 32u, 48u, 64u}) {
    for (uint32_t padding : {0u, 1u}) {
      if (limbs + padding > MontgomeryModulus::kMaxLimbs) continue;
      BigNumber m = randomNumber(random, 8 * limbs);
      m.setBit(0);
      m.setBit(64 * limbs - 1);
      MontgomeryModulus modulus;
      ASSERT_TRUE(modulus.init(m, limbs + padding));
      const uint32_t width = modulus.limbs();
      BigNumber a = randomNumber(random, 8 * limbs);
      BigNumber::mod(a, m, &a);
      BigNumber e = randomNumber(random, 8 * limbs);
      uint64_t am[MontgomeryModulus::kMaxLimbs] = {};
      uint64_t exponent[MontgomeryModulus::kMaxLimbs] = {};
      uint64_t r[MontgomeryModulus::kMaxLimbs];
      ASSERT_TRUE(modulus.load(am, a));
      std::memcpy(exponent, e.limbs(), e.limbCount() * 8);
      modulus.toMontgomery(am, am);
      modulus.powSecret(r, am, exponent, 64 * width);
      modulus.fromMontgomery(r, r);
      BigNumber result;
      result.setLimbs(r, width);
      Bn expected;
      BN_mod_exp(expected.get(), toOpenSsl(a).get(), toOpenSsl(e).get(), toOpenSsl(m).get(), ctx);
      EXPECT_EQ(BN_cmp(toOpenSsl(result).get(), expected.get()), 0) << limbs << "+" << padding;

      // An exponent read over fewer bits than it has ignores the rest.
      modulus.powSecret(r, am, exponent, 7);
      modulus.fromMontgomery(r, r);
      result.setLimbs(r, width);
      BN_mod_exp(expected.get(), toOpenSsl(a).get(),
                 toOpenSsl(BigNumber(e.limbs()[0] & 0x7f)).get(), toOpenSsl(m).get(), ctx);
      EXPECT_EQ(BN_cmp(toOpenSsl(result).get(), expected.get()), 0) << limbs << " 7 bits";
    }
  }
  MontgomeryModulus modulus;
  EXPECT_FALSE(modulus.init(BigNumber(10)));
  EXPECT_FALSE(modulus.init(BigNumber(1)));
  EXPECT_FALSE(modulus.init(BigNumber(0)));
  BN_CTX_free(ctx);
}

// The plain-form powers run on the AVX-512 IFMA code or on MULX/ADX
// products for 16 and 32 limbs where the processor has them, and on the
// portable code otherwise; every path must agree with OpenSSL, alone and in
// pairs.
class PlainPowerTest : public test::ArithmeticPathTest {};

TEST_P(PlainPowerTest, SecretAndPublicPowersMatchOpenSsl) {
  std::mt19937_64 random(14);
  BN_CTX* ctx = BN_CTX_new();
  for (uint32_t limbs : {16u, 32u, 5u}) {
    MontgomeryModulus moduli[2];
    BigNumber m[2], x[2], e[2];
    uint64_t xl[2][MontgomeryModulus::kMaxLimbs] = {};
    uint64_t el[2][MontgomeryModulus::kMaxLimbs] = {};
    uint64_t r[2][MontgomeryModulus::kMaxLimbs] = {};
    for (int i = 0; i < 2; ++i) {
      m[i] = randomNumber(random, 8 * limbs - i);  // the second one a byte short
      m[i].setBit(0);
      ASSERT_TRUE(moduli[i].init(m[i], limbs));
      x[i] = randomNumber(random, 8 * limbs);
      BigNumber::mod(x[i], m[i], &x[i]);
      e[i] = randomNumber(random, 8 * limbs);
      std::memcpy(xl[i], x[i].limbs(), x[i].limbCount() * 8);
      std::memcpy(el[i], e[i].limbs(), e[i].limbCount() * 8);
    }
    auto expected = [&](int i, const BigNumber& exponent) {
      Bn result;
      BN_mod_exp(result.get(), toOpenSsl(x[i]).get(), toOpenSsl(exponent).get(),
                 toOpenSsl(m[i]).get(), ctx);
      return result;
    };
    auto check = [&](int i, const char* what) {
      BigNumber result;
      result.setLimbs(r[i], limbs);
      EXPECT_EQ(BN_cmp(toOpenSsl(result).get(), expected(i, e[i]).get()), 0)
          << what << " " << limbs << " limbs, modulus " << i;
    };
    moduli[0].powSecretPlain(r[0], xl[0], el[0], 64 * limbs);
    check(0, "single");
    MontgomeryModulus::powSecretPlainPair(moduli[0], r[0], xl[0], el[0], moduli[1], r[1], xl[1],
                                          el[1], 64 * limbs);
    check(0, "pair");
    check(1, "pair");
    BigNumber result;
    ASSERT_TRUE(moduli[1].expPublic(x[1], BigNumber(65537), &result));
    EXPECT_EQ(BN_cmp(toOpenSsl(result).get(), expected(1, BigNumber(65537)).get()), 0) << limbs;
    ASSERT_TRUE(moduli[1].expPublic(x[1], BigNumber(0), &result));
    EXPECT_TRUE(result.isOne());
  }
  BN_CTX_free(ctx);
}

INSTANTIATE_TEST_SUITE_P(EveryPath, PlainPowerTest, test::everyArithmeticPath(),
                         test::arithmeticPathName);

// Single products and squares, where the carries are: moduli with every bit set, with
// only the top and bottom bits set, random ones and narrow ones padded to
// the width; factors 0, 1, m - 1, m - 2, values with their top bits set and
// random ones. a * b / R mod m must be OpenSSL's answer on every path.
class MontgomeryProductTest : public test::ArithmeticPathTest {};

TEST_P(MontgomeryProductTest, ProductsOfEdgeValuesMatchOpenSsl) {
  std::mt19937_64 random(33);
  BN_CTX* ctx = BN_CTX_new();
  for (uint32_t limbs : {16u, 32u}) {
    const uint32_t bits = 64 * limbs;
    BigNumber allOnes;
    BigNumber sparse;
    for (uint32_t bit = 0; bit < bits; ++bit) allOnes.setBit(bit);
    sparse.setBit(bits - 1);
    sparse.setBit(0);
    std::vector<BigNumber> moduli = {allOnes, sparse, randomNumber(random, 8 * limbs - 16)};
    for (int i = 0; i < 3; ++i) moduli.push_back(randomNumber(random, 8 * limbs));
    for (BigNumber& m : moduli) m.setBit(0);
    for (const BigNumber& m : moduli) {
      MontgomeryModulus modulus;
      ASSERT_TRUE(modulus.init(m, limbs));
      ASSERT_EQ(modulus.path(), GetParam() == ArithmeticPath::kPortable ? ArithmeticPath::kPortable
                                                                          : GetParam());
      BigNumber mMinusOne, mMinusTwo;
      BigNumber::subtract(m, BigNumber(1), &mMinusOne);
      BigNumber::subtract(m, BigNumber(2), &mMinusTwo);
      std::vector<BigNumber> values = {BigNumber(0), BigNumber(1), mMinusOne, mMinusTwo};
      for (int i = 0; i < 4; ++i) {
        BigNumber high = randomNumber(random, 8 * limbs);
        high.setBit(bits - 1);
        high.setBit(bits - 2);
        BigNumber::mod(high, m, &high);
        values.push_back(high);
        BigNumber plain = randomNumber(random, 8 * limbs);
        BigNumber::mod(plain, m, &plain);
        values.push_back(plain);
      }
      Bn rInverse;
      Bn r;
      BN_set_bit(r.get(), static_cast<int>(bits));
      ASSERT_NE(BN_mod_inverse(rInverse.get(), r.get(), toOpenSsl(m).get(), ctx), nullptr);
      auto expectProduct = [&](const uint64_t* rl, const BigNumber& a, const BigNumber& b,
                               const char* what) {
        Bn expected;
        BN_mod_mul(expected.get(), toOpenSsl(a).get(), toOpenSsl(b).get(), toOpenSsl(m).get(),
                   ctx);
        BN_mod_mul(expected.get(), expected.get(), rInverse.get(), toOpenSsl(m).get(), ctx);
        BigNumber ours;
        ours.setLimbs(rl, limbs);
        EXPECT_EQ(BN_cmp(toOpenSsl(ours).get(), expected.get()), 0)
            << what << ", " << limbs << " limbs, modulus bits " << m.bitLength();
      };
      for (const BigNumber& a : values) {
        uint64_t al[MontgomeryModulus::kMaxLimbs] = {};
        uint64_t rl[MontgomeryModulus::kMaxLimbs] = {};
        ASSERT_TRUE(modulus.load(al, a));
        modulus.square(rl, al);
        expectProduct(rl, a, a, "square");
        for (const BigNumber& b : values) {
          uint64_t bl[MontgomeryModulus::kMaxLimbs] = {};
          ASSERT_TRUE(modulus.load(bl, b));
          modulus.multiply(rl, al, bl);
          expectProduct(rl, a, b, "product");
        }
      }
    }
  }
  BN_CTX_free(ctx);
}

INSTANTIATE_TEST_SUITE_P(EveryPath, MontgomeryProductTest, test::everyArithmeticPath(),
                         test::arithmeticPathName);

// Below 1000 the answer is looked up. The rounds alone would loop forever on
// 3 (no base other than 0 and 1 exists) and divide by zero on 1.
TEST(PrimeTest, SmallNumbersAreAnsweredExactly) {
  for (uint32_t n : {3u, 5u, 7u, 11u, 997u}) EXPECT_TRUE(isProbablePrime(BigNumber(n))) << n;
  for (uint32_t n : {0u, 1u, 2u, 4u, 9u, 561u, 999u})
    EXPECT_FALSE(isProbablePrime(BigNumber(n))) << n;
}

TEST(PrimeTest, AgreesWithOpenSslOnLargeNumbers) {
  BN_CTX* ctx = BN_CTX_new();
  // Carmichael numbers whose factors are all above 1000 (so that only the
  // rounds can catch them) and a product of two large primes are composite;
  // primes from OpenSSL pass.
  for (uint64_t carmichael : {9624742921ull, 11346205609ull, 13079177569ull}) {
    EXPECT_FALSE(isProbablePrime(BigNumber(carmichael))) << carmichael;
  }
  Bn p, q, product;
  BN_generate_prime_ex(p.get(), 512, 0, nullptr, nullptr, nullptr);
  BN_generate_prime_ex(q.get(), 512, 0, nullptr, nullptr, nullptr);
  BN_mul(product.get(), p.get(), q.get(), ctx);
  EXPECT_TRUE(isProbablePrime(fromOpenSsl(p.get())));
  EXPECT_TRUE(isProbablePrime(fromOpenSsl(q.get())));
  EXPECT_FALSE(isProbablePrime(fromOpenSsl(product.get())));
  BN_CTX_free(ctx);
}

}  // namespace
}  // namespace vl
