#include "net/transport_dh.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/sha.h>

#include <vector>

#include "crypto/random_pool.h"
#include "crypto/rsa_test_keys.h"

namespace vl {
namespace {

using Bytes = std::vector<uint8_t>;

struct BnDeleter {
  void operator()(BIGNUM* bn) const { BN_clear_free(bn); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnDeleter>;

BnPtr fromLittleEndian(std::span<const uint8_t> bytes) {
  return BnPtr(BN_lebin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
}

Bytes toLittleEndian(const BIGNUM* bn, size_t length) {
  Bytes out(length);
  EXPECT_EQ(BN_bn2lebinpad(bn, out.data(), static_cast<int>(length)), static_cast<int>(length));
  return out;
}

Bytes bytesOf(std::span<const uint8_t> span) { return Bytes(span.begin(), span.end()); }

BnPtr opensslPrime() { return BnPtr(BN_get_rfc3526_prime_2048(nullptr)); }

// base^exponent mod p by OpenSSL, as 256 little-endian bytes.
Bytes opensslPower(const BIGNUM* base, std::span<const uint8_t> exponent) {
  BnPtr p = opensslPrime();
  BnPtr e = fromLittleEndian(exponent);
  BnPtr r(BN_new());
  BN_CTX* ctx = BN_CTX_new();
  BN_mod_exp(r.get(), base, e.get(), p.get(), ctx);
  BN_CTX_free(ctx);
  return toLittleEndian(r.get(), 256);
}

// The value p + delta (delta may be negative) as 256 little-endian bytes.
Bytes primePlus(int delta) {
  BnPtr v = opensslPrime();
  if (delta >= 0) BN_add_word(v.get(), static_cast<BN_ULONG>(delta));
  else BN_sub_word(v.get(), static_cast<BN_ULONG>(-delta));
  return toLittleEndian(v.get(), 256);
}

Bytes small(uint8_t value, size_t length = 256) {
  Bytes out(length, 0);
  if (length > 0) out[0] = value;
  return out;
}

Bytes exponentPattern(uint8_t seed) {
  Bytes out(64);
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(seed * 37 + i * 101);
  return out;
}

TEST(TransportDhTest, ThePrimeIsRfc3526Group14InLittleEndianBytes) {
  EXPECT_EQ(bytesOf(TransportDh::prime()), toLittleEndian(opensslPrime().get(), 256));
}

TEST(TransportDhTest, PublicValuesAndSecretsMatchOpenSsl) {
  BnPtr two(BN_new());
  BN_set_word(two.get(), 2);
  Bytes top(64, 0);
  top[63] = 0x80;  // only the highest exponent bit
  Bytes one(64, 0);
  one[0] = 1;
  for (const Bytes& x : {exponentPattern(1), exponentPattern(2), Bytes(64, 0xff), top, one}) {
    const ByteBuffer X = TransportDh::publicValueOf(x);
    ASSERT_EQ(X.size(), 256u);
    EXPECT_EQ(bytesOf(X.span()), opensslPower(two.get(), x));

    // The secret is SHA-256 of Z = Y^x mod p in its 256-byte little-endian form.
    const Bytes y = exponentPattern(9);
    const Bytes Y = bytesOf(TransportDh::publicValueOf(y).span());
    const Bytes z = opensslPower(fromLittleEndian(Y).get(), x);
    Bytes expected(32);
    SHA256(z.data(), z.size(), expected.data());
    EXPECT_EQ(bytesOf(TransportDh::agree(x, Y).span()), expected);
  }
}

TEST(TransportDhTest, ClientAndServerAgreeOnOneSecretFromTheirOwnPoolDraws) {
  RandomPool client;
  RandomPool server;
  test::creditFromOs(client);
  test::creditFromOs(server);
  ByteBuffer x, X, y, Y;
  ASSERT_TRUE(TransportDh::generate(&client, &x, &X));
  ASSERT_TRUE(TransportDh::generate(&server, &y, &Y));
  EXPECT_EQ(x.size(), 64u);
  EXPECT_EQ(X.size(), 256u);
  const ByteBuffer clientSecret = TransportDh::agree(x.span(), Y.span());
  ASSERT_EQ(clientSecret.size(), 32u);
  EXPECT_EQ(clientSecret, TransportDh::agree(y.span(), X.span()));
  EXPECT_NE(x, y);
}

TEST(TransportDhTest, APoolWithoutEnoughCreditGivesNoKeyPair) {
  RandomPool pool;
  pool.addCredit(RandomPool::kReadyCredit - 1);
  ByteBuffer x(3), X(3);
  EXPECT_FALSE(TransportDh::generate(&pool, &x, &X));
  EXPECT_TRUE(x.empty());
  EXPECT_TRUE(X.empty());
  EXPECT_FALSE(TransportDh::generate(nullptr, &x, &X));
}

// A peer's value of 0, 1 or p - 1 pins the shared value to a handful of
// numbers anyone can guess; a value from p on, or of another length, is not
// a group element in the agreed form.
TEST(TransportDhTest, PeerValuesOutsideTheOpenRangeOrOfAnotherLengthAreRefused) {
  const Bytes x = exponentPattern(5);
  const std::vector<Bytes> refused = {small(0),      small(1),      primePlus(-1), primePlus(0),
                                      primePlus(1),  Bytes(256, 0xff), small(2, 255),
                                      small(2, 257), Bytes{}};
  for (const Bytes& value : refused) {
    EXPECT_FALSE(TransportDh::acceptablePeerValue(value)) << value.size();
    EXPECT_TRUE(TransportDh::agree(x, value).empty()) << value.size();
  }
  for (const Bytes& value : {small(2), primePlus(-2), bytesOf(TransportDh::publicValueOf(x).span())}) {
    EXPECT_TRUE(TransportDh::acceptablePeerValue(value));
    EXPECT_EQ(TransportDh::agree(x, value).size(), 32u);
  }
  // A value just above 1 in a higher byte only.
  Bytes high(256, 0);
  high[1] = 1;
  EXPECT_TRUE(TransportDh::acceptablePeerValue(high));
}

TEST(TransportDhTest, AZeroOrMisSizedExponentAgreesOnNothing) {
  const Bytes Y = bytesOf(TransportDh::publicValueOf(exponentPattern(3)).span());
  EXPECT_TRUE(TransportDh::agree(Bytes(64, 0), Y).empty());
  EXPECT_TRUE(TransportDh::agree(Bytes(63, 1), Y).empty());
  EXPECT_TRUE(TransportDh::agree(Bytes(65, 1), Y).empty());
  EXPECT_TRUE(TransportDh::publicValueOf(Bytes(32, 1)).empty());
}

}  // namespace
}  // namespace vl
