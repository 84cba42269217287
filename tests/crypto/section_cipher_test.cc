#include "crypto/section_cipher.h"

#include <gtest/gtest.h>

#include <string>

#include "crypto/hmac_sha256.h"
#include "crypto/key_derivation.h"

namespace vl {
namespace {

const ByteBuffer kMasterKey(std::string(32, 'M'));

// A pool credited as a seed file would credit it.
void creditPool(RandomPool& pool) { pool.addBytes(ByteBuffer(std::string(1024, 's')).span(), true); }

class SectionCipherTest : public ::testing::Test {
 protected:
  SectionCipherTest() { creditPool(pool_); }
  RandomPool pool_;
};

TEST_F(SectionCipherTest, SealedSizesAndRoundTrips) {
  SectionCipher cipher(kMasterKey, &pool_);
  ASSERT_FALSE(cipher.failed());
  for (size_t length : {0u, 1u, 15u, 16u, 17u, 1000u, 65536u}) {
    const ByteBuffer plain(std::string(length, 'p'));
    ByteBuffer buffer = plain;
    ASSERT_TRUE(cipher.seal(buffer));
    EXPECT_EQ(buffer.size(), 16 + (length / 16 + 1) * 16 + 32) << length;
    ASSERT_TRUE(cipher.open(buffer));
    EXPECT_EQ(buffer, plain);
  }
}

TEST_F(SectionCipherTest, SealedFormIsIvCiphertextAndTagOverBoth) {
  SectionCipher cipher(kMasterKey, &pool_);
  ByteBuffer buffer(std::string_view("sixteen bytes!!!"));
  ASSERT_TRUE(cipher.seal(buffer));
  ASSERT_EQ(buffer.size(), 80u);
  const KeyPair keys = deriveKeys(kMasterKey);
  // Tag: HMAC with key 1 over the first 48 bytes.
  HmacSha256 mac(keys.key(1));
  EXPECT_EQ(mac.mac(std::span<const uint8_t>(buffer.data(), 48)),
            ByteBuffer(buffer.data() + 48, 32));
  // Body: CBC under key 0 with the leading 16 bytes as IV.
  AesCipher aes(keys.key(0));
  aes.setChainingValue(std::span<const uint8_t, 16>(buffer.data(), 16));
  ByteBuffer body(buffer.data() + 16, 32);
  ASSERT_TRUE(aes.decryptBuffer(body));
  EXPECT_EQ(body, ByteBuffer(std::string_view("sixteen bytes!!!")));
}

TEST_F(SectionCipherTest, TwoSealsOfTheSamePlaintextDiffer) {
  SectionCipher cipher(kMasterKey, &pool_);
  ByteBuffer first(std::string(100, 'x'));
  ByteBuffer second = first;
  ASSERT_TRUE(cipher.seal(first));
  ASSERT_TRUE(cipher.seal(second));
  EXPECT_NE(ByteBuffer(first.data(), 16), ByteBuffer(second.data(), 16));
  EXPECT_NE(first, second);
}

TEST_F(SectionCipherTest, EveryFlippedBitIsRejectedAndTheBufferEmptied) {
  SectionCipher cipher(kMasterKey, &pool_);
  ByteBuffer sealed(std::string(40, 'q'));
  ASSERT_TRUE(cipher.seal(sealed));
  for (uint32_t bit = 0; bit < sealed.size() * 8; ++bit) {
    ByteBuffer copy = sealed;
    copy[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    EXPECT_FALSE(cipher.open(copy)) << "bit " << bit;
    EXPECT_TRUE(copy.empty());
  }
}

TEST_F(SectionCipherTest, ShortOrTruncatedInputFails) {
  SectionCipher cipher(kMasterKey, &pool_);
  ByteBuffer sealed(std::string(40, 'q'));
  ASSERT_TRUE(cipher.seal(sealed));
  for (uint32_t length : {0u, 31u, 32u, 47u, 48u, 79u}) {
    ByteBuffer copy(sealed.data(), length);
    EXPECT_FALSE(cipher.open(copy)) << length;
    EXPECT_TRUE(copy.empty());
  }
  // A correctly tagged body shorter than an IV, or not whole blocks, fails
  // after the tag check as well.
  const KeyPair keys = deriveKeys(kMasterKey);
  HmacSha256 mac(keys.key(1));
  for (uint32_t body_length : {0u, 8u, 16u, 20u}) {
    ByteBuffer forged(std::string(body_length, 'b'));
    forged.appendBytes(mac.mac(forged));
    EXPECT_FALSE(cipher.open(forged)) << body_length;
    EXPECT_TRUE(forged.empty());
  }
}

TEST(SectionCipherStateTest, TooLittleCreditFailsTheCipherForGoodButKeepsThePlaintext) {
  RandomPool pool;
  SectionCipher cipher(kMasterKey, &pool);
  ByteBuffer buffer(std::string_view("plain"));
  EXPECT_FALSE(cipher.seal(buffer));
  EXPECT_EQ(buffer, ByteBuffer(std::string_view("plain")));
  EXPECT_TRUE(cipher.failed());
  creditPool(pool);
  EXPECT_FALSE(cipher.seal(buffer));  // once failed, always failed
  EXPECT_TRUE(buffer.empty());
}

TEST(SectionCipherStateTest, RefusedMasterKeyOrMissingPoolFails) {
  RandomPool pool;
  creditPool(pool);
  SectionCipher short_key(ByteBuffer(std::string(20, 'k')), &pool);
  EXPECT_TRUE(short_key.failed());
  ByteBuffer buffer(std::string(64, 'x'));
  EXPECT_FALSE(short_key.open(buffer));
  EXPECT_TRUE(buffer.empty());
  SectionCipher no_pool(kMasterKey, nullptr);
  EXPECT_TRUE(no_pool.failed());
}

}  // namespace
}  // namespace vl
