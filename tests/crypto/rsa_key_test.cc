#include "crypto/rsa_key.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "crypto/bignum_montgomery.h"
#include "arithmetic_path_test_util.h"
#include "crypto/serpent_cipher.h"
#include "crypto/sha256.h"
#include "rsa_test_keys.h"
#include "rsa_test_util.h"

namespace vl {
namespace {

using test::Bn;
using test::bnFromLittleEndian;
using test::fixedKeys;
using test::fromOpenSsl;
using test::toOpenSsl;

std::vector<uint8_t> bigEndian(const BIGNUM* bn, size_t length) {
  std::vector<uint8_t> out(length);
  BN_bn2binpad(bn, out.data(), static_cast<int>(length));
  return out;
}

ByteBuffer slice(const ByteBuffer& bytes, uint32_t offset, uint32_t length) {
  return ByteBuffer(bytes.data() + offset, length);
}

// x below n for the tests: random bits cleared from the top as needed.
BigNumber randomBelow(std::mt19937_64& random, const BigNumber& n) {
  std::vector<uint8_t> raw(n.toBytes(0).size());
  for (auto& b : raw) b = static_cast<uint8_t>(random());
  BigNumber x;
  x.fromBytes(raw);
  RsaKey::reduceBelow(&x, n);
  return x;
}

class RsaKeyTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(fixedKeys().ok); }
  const RsaKey& encryption() { return fixedKeys().encryption; }
  const RsaKey& signing() { return fixedKeys().signing; }
  RandomPool* pool() { return &fixedKeys().pool; }
};

// The one test that generates keys (slow under the sanitizers): both kinds.
TEST(RsaKeyGenerationTest, KeysHaveTwoLargePrimesAndA2048BitModulus) {
  RandomPool pool;
  test::creditFromOs(pool);
  RsaKey encryption;
  RsaKey signing;
  ASSERT_TRUE(encryption.generate(RsaKeyKind::kEncryption, &pool));
  ASSERT_TRUE(signing.generate(RsaKeyKind::kSigning, &pool));
  BN_CTX* ctx = BN_CTX_new();
  for (const RsaKey* key : {&encryption, &signing}) {
    ASSERT_TRUE(key->hasPrivatePart());
    ByteBuffer full = key->exportFull();
    ASSERT_EQ(full.size(), 896u);
    EXPECT_EQ(slice(full, 640, 256), key->exportPublic());
    EXPECT_EQ(slice(full, 0, 256), key->exportShort());
    Bn p = bnFromLittleEndian(full.span().subspan(0, 128));
    Bn q = bnFromLittleEndian(full.span().subspan(128, 128));
    EXPECT_GT(BN_cmp(p.get(), q.get()), 0);
    for (const Bn* prime : {&p, &q}) {
      EXPECT_EQ(BN_num_bits(prime->get()), 1024);
      EXPECT_TRUE(BN_is_bit_set(prime->get(), 1022));
      EXPECT_EQ(BN_check_prime(prime->get(), ctx, nullptr), 1);
    }
    EXPECT_EQ(key->modulus().bitLength(), 2048u);
    // OpenSSL's own consistency check covers dP, dQ and qInv.
    EVP_PKEY* openssl = test::openSslKeyFromFull(full.span());
    ASSERT_NE(openssl, nullptr);
    EVP_PKEY_CTX* check = EVP_PKEY_CTX_new(openssl, nullptr);
    EXPECT_EQ(EVP_PKEY_check(check), 1);
    EVP_PKEY_CTX_free(check);
    EVP_PKEY_free(openssl);

    // The short form alone brings back the full form made at generation.
    RsaKey fromShort;
    ASSERT_TRUE(fromShort.load(key->exportShort().span(), true, 2048, key->kind(), &pool));
    EXPECT_EQ(fromShort.exportFull(), key->exportFull());
  }
  EXPECT_NE(encryption.exportPublic(), signing.exportPublic());
  BN_CTX_free(ctx);

  RandomPool empty;
  RsaKey refused;
  EXPECT_FALSE(refused.generate(RsaKeyKind::kEncryption, &empty));
  EXPECT_FALSE(refused.valid());
}

TEST_F(RsaKeyTest, ShortAndFullFormsLoadToTheSameKey) {
  for (const RsaKey* key : {&encryption(), &signing()}) {
    RsaKey fromShort;
    ASSERT_TRUE(fromShort.load(key->exportShort().span(), true, 2048, key->kind(), pool()));
    EXPECT_EQ(fromShort.exportFull(), key->exportFull());
    RsaKey fromFull;
    ASSERT_TRUE(fromFull.load(key->exportFull().span(), true, 2048, key->kind(), pool()));
    EXPECT_EQ(fromFull.exportFull(), key->exportFull());
    RsaKey publicOnly;
    ASSERT_TRUE(publicOnly.load(key->exportPublic().span(), false, 2048, key->kind(), pool()));
    EXPECT_FALSE(publicOnly.hasPrivatePart());
    EXPECT_TRUE(publicOnly.exportShort().empty());
    EXPECT_TRUE(publicOnly.exportFull().empty());
    EXPECT_EQ(publicOnly.exportPublic(), key->exportPublic());
  }
}

// On every arithmetic path the processor has.
class RsaRawOperationTest : public test::ArithmeticPathTest {};

// 0, 1, n - 1, values just below n (their top bits set as n's are) and
// random values below n.
std::vector<BigNumber> edgeAndRandomInputs(std::mt19937_64& random, const BigNumber& n) {
  BigNumber nMinusOne;
  BigNumber::subtract(n, BigNumber(1), &nMinusOne);
  std::vector<BigNumber> inputs = {BigNumber(0), BigNumber(1), BigNumber(2), nMinusOne};
  for (int i = 0; i < 4; ++i) {
    BigNumber high;
    BigNumber::subtract(nMinusOne, BigNumber(random()), &high);
    inputs.push_back(high);
  }
  for (int i = 0; i < 8; ++i) inputs.push_back(randomBelow(random, n));
  return inputs;
}

// Both raw operations of `key` on each input against OpenSSL's.
void expectRawOperationsMatchOpenSsl(const RsaKey& key, const std::vector<BigNumber>& inputs) {
  EVP_PKEY* openssl = test::openSslKeyFromFull(key.exportFull().span());
  ASSERT_NE(openssl, nullptr);
  for (const BigNumber& x : inputs) {
    std::vector<uint8_t> in = bigEndian(toOpenSsl(x).get(), 256);
    BigNumber ours;
    ASSERT_TRUE(key.publicOperation(x, &ours));
    std::vector<uint8_t> expected = test::openSslRaw(openssl, false, in);
    EXPECT_EQ(bigEndian(toOpenSsl(ours).get(), 256), expected);
    ASSERT_TRUE(key.privateOperation(x, &ours));
    expected = test::openSslRaw(openssl, true, in);
    EXPECT_EQ(bigEndian(toOpenSsl(ours).get(), 256), expected);
  }
  EVP_PKEY_free(openssl);
}

TEST_P(RsaRawOperationTest, RawOperationsMatchOpenSsl) {
  std::mt19937_64 random(21);
  RsaKey key;  // loaded here, so that its moduli take the chosen path
  ASSERT_TRUE(key.load(fixedKeys().encryption.exportFull().span(), true, 2048,
                       RsaKeyKind::kEncryption, nullptr));
  expectRawOperationsMatchOpenSsl(key, edgeAndRandomInputs(random, key.modulus()));
  BigNumber out;
  EXPECT_FALSE(key.privateOperation(key.modulus(), &out));
  EXPECT_FALSE(key.publicOperation(key.modulus(), &out));
}

// New primes from OpenSSL on every run, so that the arithmetic meets moduli
// nobody chose.
TEST_P(RsaRawOperationTest, KeysFromRandomPrimesMatchOpenSsl) {
  std::mt19937_64 random(22);
  for (int k = 0; k < 3; ++k) {
    Bn p, q;
    ASSERT_EQ(BN_generate_prime_ex(p.get(), 1024, 0, nullptr, nullptr, nullptr), 1);
    ASSERT_EQ(BN_generate_prime_ex(q.get(), 1024, 0, nullptr, nullptr, nullptr), 1);
    const bool pLarger = BN_cmp(p.get(), q.get()) > 0;
    ByteBuffer shortForm = test::littleEndian(pLarger ? p.get() : q.get(), 128);
    shortForm.appendBytes(test::littleEndian(pLarger ? q.get() : p.get(), 128));
    RsaKey key;
    // A prime with 65537 dividing p - 1 (about one in 65537) makes no key.
    if (!key.load(shortForm.span(), true, 2048, RsaKeyKind::kEncryption, nullptr)) continue;
    expectRawOperationsMatchOpenSsl(key, edgeAndRandomInputs(random, key.modulus()));
  }
}

INSTANTIATE_TEST_SUITE_P(EveryPath, RsaRawOperationTest, test::everyArithmeticPath(),
                         test::arithmeticPathName);

TEST_F(RsaKeyTest, EncapsulatedSecretsOpenWithThePrivateHalfOnly) {
  RsaKey publicOnly;
  ASSERT_TRUE(publicOnly.load(encryption().exportPublic().span(), false, 2048,
                              RsaKeyKind::kEncryption, pool()));
  ByteBuffer secret;
  ByteBuffer ciphertext;
  ASSERT_TRUE(publicOnly.encapsulate(&secret, &ciphertext));
  ASSERT_EQ(secret.size(), 32u);
  ASSERT_EQ(ciphertext.size(), 256u);
  EXPECT_EQ(encryption().decapsulate(ciphertext.span()), secret);
  EXPECT_TRUE(publicOnly.decapsulate(ciphertext.span()).empty());

  // The secret is the hash of x in 4-byte words without zero words on top.
  EVP_PKEY* openssl = test::openSslKeyFromFull(encryption().exportFull().span());
  Bn c = bnFromLittleEndian(ciphertext.span());
  std::vector<uint8_t> x = test::openSslRaw(openssl, true, bigEndian(c.get(), 256));
  Bn xn(BN_bin2bn(x.data(), static_cast<int>(x.size()), nullptr));
  size_t words = (static_cast<size_t>(BN_num_bits(xn.get())) + 31) / 32;
  EXPECT_EQ(sha256(test::littleEndian(xn.get(), static_cast<uint32_t>(4 * words))), secret);
  EVP_PKEY_free(openssl);

  // Two encapsulations differ.
  ByteBuffer secret2;
  ByteBuffer ciphertext2;
  ASSERT_TRUE(encryption().encapsulate(&secret2, &ciphertext2));
  EXPECT_NE(secret2, secret);
}

TEST_F(RsaKeyTest, DecapsulationRefusesWrongLengthsAndValuesNotBelowN) {
  ByteBuffer secret;
  ByteBuffer ciphertext;
  ASSERT_TRUE(encryption().encapsulate(&secret, &ciphertext));
  EXPECT_TRUE(encryption().decapsulate(ciphertext.span().subspan(0, 255)).empty());
  ByteBuffer longer = ciphertext;
  longer.appendU8(0);
  EXPECT_TRUE(encryption().decapsulate(longer.span()).empty());
  EXPECT_TRUE(encryption().decapsulate(encryption().exportPublic().span()).empty());  // n itself
  EXPECT_TRUE(encryption().decapsulate(ByteBuffer(std::string(256, '\xff')).span()).empty());
  EXPECT_TRUE(encryption().decapsulate({}).empty());
  // A signing key neither wraps nor unwraps.
  EXPECT_FALSE(signing().encapsulate(&secret, &ciphertext));
  EXPECT_TRUE(secret.empty());
  EXPECT_TRUE(ciphertext.empty());
}

TEST_F(RsaKeyTest, EncapsulationNeedsPoolCredit) {
  RandomPool empty;
  RsaKey key;
  ASSERT_TRUE(
      key.load(encryption().exportPublic().span(), false, 2048, RsaKeyKind::kEncryption, &empty));
  ByteBuffer secret;
  ByteBuffer ciphertext;
  EXPECT_FALSE(key.encapsulate(&secret, &ciphertext));
  EXPECT_TRUE(secret.empty() && ciphertext.empty());
  ASSERT_TRUE(
      key.load(encryption().exportPublic().span(), false, 2048, RsaKeyKind::kEncryption, nullptr));
  EXPECT_FALSE(key.encapsulate(&secret, &ciphertext));
}

TEST_F(RsaKeyTest, SignaturesAreDeterministicFullDomainHashes) {
  ByteBuffer digest = sha256(ByteBuffer(std::string_view("start chunk")));
  ByteBuffer signature = signing().sign(digest.span());
  ASSERT_EQ(signature.size(), 256u);
  EXPECT_EQ(signing().sign(digest.span()), signature);

  // signature^65537 mod n is the Serpent stream of the digest, reduced below n.
  SerpentCipher serpent(digest);
  ByteBuffer stream = serpent.keystream(256);
  Bn n = toOpenSsl(signing().modulus());
  Bn expected = bnFromLittleEndian(stream.span());
  for (int bit = BN_num_bits(expected.get()) - 1; bit >= 0 && BN_cmp(expected.get(), n.get()) >= 0;
       --bit) {
    BN_clear_bit(expected.get(), bit);
  }
  Bn e, opened;
  BN_set_word(e.get(), 65537);
  BN_CTX* ctx = BN_CTX_new();
  BN_mod_exp(opened.get(), bnFromLittleEndian(signature.span()).get(), e.get(), n.get(), ctx);
  BN_CTX_free(ctx);
  EXPECT_EQ(BN_cmp(opened.get(), expected.get()), 0);

  EXPECT_TRUE(signing().sign(digest.span().subspan(0, 31)).empty());
  ByteBuffer longDigest = digest;
  longDigest.appendU8(1);
  EXPECT_TRUE(signing().sign(longDigest.span()).empty());
  EXPECT_TRUE(encryption().sign(digest.span()).empty());  // wrong kind
}

TEST_F(RsaKeyTest, SignMessageTakesTheShortOrFullFormOnly) {
  ByteBuffer message(std::string_view("signed block"));
  ByteBuffer expected = signing().sign(sha256(message).span());
  EXPECT_EQ(signMessage(message.span(), signing().exportShort().span(), pool()), expected);
  EXPECT_EQ(signMessage(message.span(), signing().exportFull().span(), pool()), expected);
  ByteBuffer shortForm = signing().exportShort();
  EXPECT_TRUE(signMessage(message.span(), shortForm.span().subspan(0, 255), pool()).empty());
  EXPECT_TRUE(signMessage(message.span(), {}, pool()).empty());
}

TEST_F(RsaKeyTest, MalformedKeysAreRefused) {
  RsaKey key;
  ByteBuffer publicForm = encryption().exportPublic();
  EXPECT_FALSE(
      key.load(publicForm.span().subspan(0, 255), false, 2048, RsaKeyKind::kEncryption, pool()));
  ByteBuffer even = publicForm;
  even[0] &= 0xfe;
  EXPECT_FALSE(key.load(even.span(), false, 2048, RsaKeyKind::kEncryption, pool()));
  EXPECT_FALSE(key.load(ByteBuffer(256).span(), false, 2048, RsaKeyKind::kEncryption, pool()));
  EXPECT_FALSE(key.load(ByteBuffer(1024).span(), false, 8192, RsaKeyKind::kEncryption, pool()));

  ByteBuffer full = encryption().exportFull();
  EXPECT_FALSE(key.load(full.span().subspan(0, 895), true, 2048, RsaKeyKind::kEncryption, pool()));
  ByteBuffer wrongN = full;
  wrongN[700] ^= 1;  // n no longer p * q
  EXPECT_FALSE(key.load(wrongN.span(), true, 2048, RsaKeyKind::kEncryption, pool()));
  ByteBuffer bigQinv = full;
  std::memcpy(bigQinv.data() + 512, full.data(), 128);  // qInv = p
  EXPECT_FALSE(key.load(bigQinv.span(), true, 2048, RsaKeyKind::kEncryption, pool()));
  ByteBuffer evenP = encryption().exportShort();
  evenP[0] &= 0xfe;
  EXPECT_FALSE(key.load(evenP.span(), true, 2048, RsaKeyKind::kEncryption, pool()));
  ByteBuffer equalPrimes = encryption().exportShort();
  std::memcpy(equalPrimes.data() + 128, equalPrimes.data(), 128);  // no inverse of q mod p
  EXPECT_FALSE(key.load(equalPrimes.span(), true, 2048, RsaKeyKind::kEncryption, pool()));
  EXPECT_FALSE(key.valid());
  EXPECT_TRUE(key.exportPublic().empty());
}

// dP, dQ and qInv of a full form are not read back from n: a flipped bit in
// any of them would make every private result right modulo one prime only.
TEST_F(RsaKeyTest, FullFormsWithDamagedCrtValuesAreRefused) {
  for (const RsaKey* source : {&encryption(), &signing()}) {
    ByteBuffer full = source->exportFull();
    for (uint32_t offset : {256u, 256u + 77, 384u, 384u + 127, 512u, 512u + 64}) {
      ByteBuffer damaged = full;
      damaged[offset] ^= 0x10;
      RsaKey key;
      EXPECT_FALSE(key.load(damaged.span(), true, 2048, source->kind(), pool())) << offset;
      EXPECT_FALSE(key.valid());
      EXPECT_TRUE(signMessage(ByteBuffer("message").span(), damaged.span(), pool()).empty());
    }
  }
}

// A key whose dP is damaged, taken past the load check, stands for a fault
// in the arithmetic: its results must never leave the key.
class RsaFaultTest : public RsaRawOperationTest {
 protected:
  void SetUp() override {
    RsaRawOperationTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_TRUE(fixedKeys().ok);
    acceptDamagedCrtValues(true);
  }
  void TearDown() override {
    acceptDamagedCrtValues(false);
    RsaRawOperationTest::TearDown();
  }
  // The full form of `source` with one bit of dP flipped, loaded unchecked.
  void loadDamaged(const RsaKey& source, RsaKey* key) {
    ByteBuffer damaged = source.exportFull();
    damaged[256 + 5] ^= 0x04;
    ASSERT_TRUE(key->load(damaged.span(), true, 2048, source.kind(), &fixedKeys().pool));
  }
};

TEST_P(RsaFaultTest, ResultsThatDoNotVerifyAreNeverReturned) {
  RsaKey signingKey;
  loadDamaged(fixedKeys().signing, &signingKey);
  ByteBuffer digest = sha256(ByteBuffer("start chunk").span());
  EXPECT_TRUE(signingKey.sign(digest.span()).empty());
  EXPECT_FALSE(fixedKeys().signing.sign(digest.span()).empty());
  BigNumber out(7);
  EXPECT_FALSE(signingKey.privateOperation(BigNumber(12345), &out));
  EXPECT_TRUE(out.isZero());
  // 0 and 1 are their own results under any exponent: they still pass.
  EXPECT_TRUE(signingKey.privateOperation(BigNumber(1), &out));
  EXPECT_TRUE(out.isOne());

  RsaKey encryptionKey;
  loadDamaged(fixedKeys().encryption, &encryptionKey);
  std::vector<ByteBuffer> ciphertexts(9);
  std::vector<std::span<const uint8_t>> spans;
  for (ByteBuffer& ciphertext : ciphertexts) {
    ByteBuffer secret;
    ASSERT_TRUE(encryptionKey.encapsulate(&secret, &ciphertext));
    EXPECT_EQ(fixedKeys().encryption.decapsulate(ciphertext.span()), secret);
    EXPECT_TRUE(encryptionKey.decapsulate(ciphertext.span()).empty());
    spans.push_back(ciphertext.span());
  }
  // Batches of eight lanes and a remainder of one.
  for (const ByteBuffer& secret : encryptionKey.decapsulateBatch(spans)) {
    EXPECT_TRUE(secret.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(EveryPath, RsaFaultTest, test::everyArithmeticPath(),
                         test::arithmeticPathName);

// Server keys may be 3072 or 4096 bits (public operations only); other private
// sizes go through the untuned arithmetic, and a short form may list the
// smaller prime first.
TEST(RsaKeySizesTest, OtherSizesMatchOpenSsl) {
  std::mt19937_64 random(22);
  BN_CTX* ctx = BN_CTX_new();
  for (uint32_t bits : {3072u, 4096u}) {
    ByteBuffer modulus(bits / 8);
    for (uint32_t i = 0; i < modulus.size(); ++i) modulus[i] = static_cast<uint8_t>(random());
    modulus[0] |= 1;
    modulus[modulus.size() - 1] |= 0x80;
    RsaKey key;
    ASSERT_TRUE(key.load(modulus.span(), false, bits, RsaKeyKind::kEncryption, nullptr));
    EXPECT_EQ(key.modulusBytes(), bits / 8);
    BigNumber x = randomBelow(random, key.modulus());
    BigNumber ours;
    ASSERT_TRUE(key.publicOperation(x, &ours));
    Bn e, expected;
    BN_set_word(e.get(), 65537);
    BN_mod_exp(expected.get(), toOpenSsl(x).get(), e.get(), toOpenSsl(key.modulus()).get(), ctx);
    EXPECT_EQ(BN_cmp(toOpenSsl(ours).get(), expected.get()), 0) << bits;
  }

  EVP_PKEY* openssl = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(1024));
  ASSERT_NE(openssl, nullptr);
  BIGNUM* p = nullptr;
  BIGNUM* q = nullptr;
  EVP_PKEY_get_bn_param(openssl, OSSL_PKEY_PARAM_RSA_FACTOR1, &p);
  EVP_PKEY_get_bn_param(openssl, OSSL_PKEY_PARAM_RSA_FACTOR2, &q);
  if (BN_cmp(p, q) > 0) std::swap(p, q);  // the smaller prime first
  ByteBuffer shortForm = test::littleEndian(p, 64);
  shortForm.appendBytes(test::littleEndian(q, 64));
  RsaKey key;
  ASSERT_TRUE(key.load(shortForm.span(), true, 1024, RsaKeyKind::kEncryption, nullptr));
  EXPECT_EQ(key.exportFull().size(), 448u);
  for (int i = 0; i < 4; ++i) {
    BigNumber x = randomBelow(random, key.modulus());
    BigNumber ours;
    ASSERT_TRUE(key.privateOperation(x, &ours));
    EXPECT_EQ(bigEndian(toOpenSsl(ours).get(), 128),
              test::openSslRaw(openssl, true, bigEndian(toOpenSsl(x).get(), 128)));
  }
  BN_clear_free(p);
  BN_clear_free(q);
  EVP_PKEY_free(openssl);
  BN_CTX_free(ctx);
}

}  // namespace
}  // namespace vl
