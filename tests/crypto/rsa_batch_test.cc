// The eight-lane private operation: the raw powers against OpenSSL, and
// RsaKey::decapsulateBatch against decapsulate, on both arithmetic paths.
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <cstring>
#include <random>
#include <vector>

#include "crypto/bignum_ifma_batch.h"
#include "crypto/bignum_montgomery.h"
#include "arithmetic_path_test_util.h"
#include "crypto/rsa_key.h"
#include "rsa_test_keys.h"
#include "rsa_test_util.h"

namespace vl {
namespace {

using test::Bn;
using test::fixedKeys;
using test::toOpenSsl;

constexpr uint32_t kLimbs = 16;

BigNumber randomNumber(std::mt19937_64& random, uint32_t bits) {
  std::vector<uint8_t> raw((bits + 7) / 8);
  for (auto& b : raw) b = static_cast<uint8_t>(random());
  BigNumber x;
  x.fromBytes(raw);
  return x;
}

// m^e mod m by OpenSSL, as 16 limbs.
std::vector<uint64_t> openSslPower(const BigNumber& x, const BigNumber& e, const BigNumber& m) {
  Bn result;
  BN_CTX* context = BN_CTX_new();
  BN_mod_exp(result.get(), toOpenSsl(x).get(), toOpenSsl(e).get(), toOpenSsl(m).get(), context);
  BN_CTX_free(context);
  BigNumber ours = test::fromOpenSsl(result.get());
  std::vector<uint64_t> limbs(kLimbs, 0);
  std::memcpy(limbs.data(), ours.limbs(), ours.limbCount() * sizeof(uint64_t));
  return limbs;
}

TEST(IfmaBatchTest, EveryLaneAndCountMatchesOpenSsl) {
  if (!IfmaModulus::available()) GTEST_SKIP() << "no AVX-512 IFMA on this processor";
  std::mt19937_64 random(7);
  // A prime of the fixed key, a random odd number of full width, and one
  // well below the width (padded with zero digits).
  BigNumber full = randomNumber(random, 1024);
  full.setBit(1023);
  full.setBit(0);
  BigNumber narrow = randomNumber(random, 1001);
  narrow.setBit(1000);
  narrow.setBit(0);
  ByteBuffer keyBytes = fixedKeys().encryption.exportShort();
  BigNumber prime;
  ASSERT_TRUE(prime.fromBytes(keyBytes.span().subspan(0, 128)));
  const BigNumber* moduli[] = {&prime, &full, &narrow};

  for (const BigNumber* m : moduli) {
    IfmaModulus mod;
    ASSERT_TRUE(mod.init(*m, kLimbs));
    ASSERT_TRUE(IfmaBatch::supports(mod));
    BigNumber e = randomNumber(random, 1024);
    std::vector<uint64_t> exponent(kLimbs, 0);
    std::memcpy(exponent.data(), e.limbs(), e.limbCount() * sizeof(uint64_t));
    BigNumber mMinusOne;
    BigNumber::subtract(*m, BigNumber(1), &mMinusOne);
    std::vector<BigNumber> bases = {BigNumber(0), BigNumber(1), mMinusOne, BigNumber(2)};
    while (bases.size() < 11) {
      BigNumber x = randomNumber(random, 1024);
      RsaKey::reduceBelow(&x, *m);
      bases.push_back(x);
    }

    for (uint32_t count = 1; count <= IfmaBatch::kLanes; ++count) {
      std::vector<std::vector<uint64_t>> in(count, std::vector<uint64_t>(kLimbs, 0));
      std::vector<std::vector<uint64_t>> out(IfmaBatch::kLanes,
                                             std::vector<uint64_t>(kLimbs, 0x5a5a));
      const uint64_t* inputs[IfmaBatch::kLanes] = {};
      uint64_t* outputs[IfmaBatch::kLanes] = {};
      for (uint32_t k = 0; k < count; ++k) {
        const BigNumber& x = bases[(k + 3 * count) % bases.size()];
        std::memcpy(in[k].data(), x.limbs(), x.limbCount() * sizeof(uint64_t));
        inputs[k] = in[k].data();
      }
      for (uint32_t k = 0; k < IfmaBatch::kLanes; ++k) outputs[k] = out[k].data();
      ASSERT_TRUE(IfmaBatch::powSecret(mod, outputs, inputs, count, exponent.data(), 1024));
      for (uint32_t k = 0; k < count; ++k) {
        const BigNumber& x = bases[(k + 3 * count) % bases.size()];
        EXPECT_EQ(out[k], openSslPower(x, e, *m)) << "count " << count << " lane " << k;
      }
      // Lanes past the count are left alone.
      for (uint32_t k = count; k < IfmaBatch::kLanes; ++k) {
        EXPECT_EQ(out[k], std::vector<uint64_t>(kLimbs, 0x5a5a));
      }
    }
  }

  IfmaModulus wide;
  ASSERT_TRUE(wide.init(fixedKeys().encryption.modulus(), 32));
  EXPECT_FALSE(IfmaBatch::supports(wide));
  uint64_t zero[32] = {};
  const uint64_t* in[1] = {zero};
  uint64_t* out[1] = {zero};
  EXPECT_FALSE(IfmaBatch::powSecret(wide, out, in, 1, zero, 64));
  IfmaModulus half;
  ASSERT_TRUE(half.init(prime, kLimbs));
  EXPECT_FALSE(IfmaBatch::powSecret(half, out, in, 0, zero, 64));
  EXPECT_FALSE(IfmaBatch::powSecret(half, out, in, 9, zero, 64));
}

// On every arithmetic path the processor has.
class RsaBatchTest : public test::ArithmeticPathTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fixedKeys().ok);
    test::ArithmeticPathTest::SetUp();
    if (IsSkipped()) return;
    // Loaded here, so that its moduli take the chosen path.
    ASSERT_TRUE(key_.load(fixedKeys().encryption.exportFull().span(), true, 2048,
                          RsaKeyKind::kEncryption, &fixedKeys().pool));
  }
  std::vector<ByteBuffer> batch(const std::vector<ByteBuffer>& ciphertexts) {
    std::vector<std::span<const uint8_t>> spans;
    for (const ByteBuffer& c : ciphertexts) spans.push_back(c.span());
    return key_.decapsulateBatch(spans);
  }

  RsaKey key_;
};

TEST_P(RsaBatchTest, EachEntryIsWhatDecapsulateGives) {
  std::vector<ByteBuffer> secrets;
  std::vector<ByteBuffer> ciphertexts;
  for (int i = 0; i < 19; ++i) {
    ByteBuffer secret;
    ByteBuffer ciphertext;
    ASSERT_TRUE(key_.encapsulate(&secret, &ciphertext));
    secrets.push_back(std::move(secret));
    ciphertexts.push_back(std::move(ciphertext));
  }
  // Every size of a batch up to a full one, and past it.
  for (size_t count : {0, 1, 2, 3, 5, 7, 8, 9, 16, 19}) {
    std::vector<ByteBuffer> part(ciphertexts.begin(), ciphertexts.begin() + count);
    std::vector<ByteBuffer> opened = batch(part);
    ASSERT_EQ(opened.size(), count);
    for (size_t i = 0; i < count; ++i) EXPECT_EQ(opened[i], secrets[i]) << count << " " << i;
  }

  // Ciphertexts that fail fail alone, wherever they are; edge values that
  // pass open as decapsulate opens them.
  const ByteBuffer n = key_.exportPublic();
  BigNumber nMinusOne;
  BigNumber::subtract(key_.modulus(), BigNumber(1), &nMinusOne);
  ByteBuffer one(256);
  one[0] = 1;
  std::vector<ByteBuffer> mixed = {ciphertexts[0],
                                   n,
                                   ciphertexts[1],
                                   ByteBuffer(std::string(256, '\xff')),
                                   ByteBuffer(ciphertexts[2].data(), 255),
                                   ByteBuffer(),
                                   ByteBuffer(256),
                                   one,
                                   nMinusOne.toBytes(256),
                                   ciphertexts[3],
                                   ciphertexts[4]};
  std::vector<ByteBuffer> opened = batch(mixed);
  ASSERT_EQ(opened.size(), mixed.size());
  for (size_t i = 0; i < mixed.size(); ++i) {
    EXPECT_EQ(opened[i], key_.decapsulate(mixed[i].span())) << i;
  }
  for (size_t i : {1, 3, 4, 5}) EXPECT_TRUE(opened[i].empty()) << i;
  EXPECT_EQ(opened[0], secrets[0]);
  EXPECT_EQ(opened[2], secrets[1]);
  EXPECT_EQ(opened[9], secrets[3]);
  EXPECT_EQ(opened[10], secrets[4]);
  EXPECT_FALSE(opened[6].empty());
  EXPECT_FALSE(opened[8].empty());
}

TEST_P(RsaBatchTest, KeysThatCannotDecapsulateGiveOnlyEmptySecrets) {
  ByteBuffer secret;
  ByteBuffer ciphertext;
  ASSERT_TRUE(key_.encapsulate(&secret, &ciphertext));
  const std::span<const uint8_t> batchOfTwo[] = {ciphertext.span(), ciphertext.span()};
  RsaKey publicOnly;
  ASSERT_TRUE(
      publicOnly.load(key_.exportPublic().span(), false, 2048, RsaKeyKind::kEncryption, nullptr));
  RsaKey signing;
  ASSERT_TRUE(signing.load(key_.exportFull().span(), true, 2048, RsaKeyKind::kSigning, nullptr));
  for (const RsaKey* key : {&publicOnly, &signing}) {
    std::vector<ByteBuffer> opened = key->decapsulateBatch(batchOfTwo);
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_TRUE(opened[0].empty());
    EXPECT_TRUE(opened[1].empty());
  }
  EXPECT_EQ(key_.decapsulateBatch(batchOfTwo)[1], secret);
}

INSTANTIATE_TEST_SUITE_P(EveryPath, RsaBatchTest, test::everyArithmeticPath(),
                         test::arithmeticPathName);

}  // namespace
}  // namespace vl
