#include "crypto/aes_cipher.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <random>
#include <string>

#include "crypto/aes_blocks.h"
#include "crypto/cpu_features.h"
#include "crypto/key_derivation.h"
#include "symmetric_test_util.h"

namespace vl {
namespace {

using test::hexBytes;
using test::hexOf;

// Raw CBC (no padding) or ECB by OpenSSL, the oracle for our padded forms.
ByteBuffer opensslCrypt(const EVP_CIPHER* type, bool encrypt, const ByteBuffer& key,
                        const uint8_t* iv, const ByteBuffer& input) {
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  EVP_CipherInit_ex(context, type, nullptr, key.data(), iv, encrypt ? 1 : 0);
  EVP_CIPHER_CTX_set_padding(context, 0);
  ByteBuffer output(input.size() + 16);
  int length = 0, tail = 0;
  EVP_CipherUpdate(context, output.data(), &length, input.data(), static_cast<int>(input.size()));
  EVP_CipherFinal_ex(context, output.data() + length, &tail);
  EVP_CIPHER_CTX_free(context);
  output.resize(static_cast<size_t>(length + tail));
  return output;
}

ByteBuffer padded(ByteBuffer plain) {
  const uint8_t n = static_cast<uint8_t>(16 - plain.size() % 16);
  plain.resize(plain.size() + n);
  plain[plain.size() - 1] = n;
  return plain;
}

class AesPathTest : public test::CodePathTest {};

TEST_P(AesPathTest, Fips197BlockExamples) {
  const ByteBuffer plain = hexBytes("00112233445566778899aabbccddeeff");
  const struct {
    const char* key;
    const char* cipher;
  } cases[] = {
      {"000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
      {"000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
      {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
       "8ea2b7ca516745bfeafc49904b496089"},
  };
  for (const auto& c : cases) {
    AesCipher aes(hexBytes(c.key));
    ASSERT_TRUE(aes.valid());
    ByteBuffer block = plain;
    ASSERT_TRUE(aes.encryptBlock(block.data()));
    EXPECT_EQ(hexOf(block), c.cipher);
    ASSERT_TRUE(aes.decryptBlock(block.data()));
    EXPECT_EQ(block, plain);
  }
}

// SP 800-38A F.2.1 and F.2.5. Our CBC pads, so a 64-byte plaintext gains a
// fifth block; the first four are the published ones.
TEST_P(AesPathTest, Sp80038aCbcExamplesAndTheirPaddingBlock) {
  const ByteBuffer plain = hexBytes(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  const ByteBuffer iv = hexBytes("000102030405060708090a0b0c0d0e0f");
  const struct {
    const char* key;
    const char* cipher;
  } cases[] = {
      {"2b7e151628aed2a6abf7158809cf4f3c",
       "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
       "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"},
      {"603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
       "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
       "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b"},
  };
  for (const auto& c : cases) {
    AesCipher aes(hexBytes(c.key));
    ByteBuffer buffer = plain;
    aes.setChainingValue(std::span<const uint8_t, 16>(iv.data(), 16));
    ASSERT_TRUE(aes.encryptBuffer(buffer));
    ASSERT_EQ(buffer.size(), 80u);
    EXPECT_EQ(hexOf(buffer).substr(0, 128), c.cipher);
    // The padding block: 15 zeros and 16, chained on the last block.
    ByteBuffer last(buffer.data() + 64, 16);
    ASSERT_TRUE(aes.decryptBlock(last.data()));
    for (int i = 0; i < 16; ++i) last[i] ^= buffer[48 + i];
    EXPECT_EQ(hexOf(last), "00000000000000000000000000000010");

    aes.setChainingValue(std::span<const uint8_t, 16>(iv.data(), 16));
    ASSERT_TRUE(aes.decryptBuffer(buffer));
    EXPECT_EQ(buffer, plain);
  }
}

// Every length from 0 to 100 and some long ones, against OpenSSL's raw
// AES-256-CBC over the same padded bytes, in both directions.
TEST_P(AesPathTest, CbcMatchesOpenSslForRandomInputs) {
  std::mt19937 random(42);
  const ByteBuffer key = test::randomBytes(random, 32);
  AesCipher aes(key);
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 100; ++n) lengths.push_back(n);
  for (size_t n : {127u, 128u, 129u, 4095u, 65536u, 2097152u}) lengths.push_back(n);
  for (size_t length : lengths) {
    const ByteBuffer plain = test::randomBytes(random, length);
    const ByteBuffer iv = test::randomBytes(random, 16);
    ByteBuffer buffer = plain;
    aes.setChainingValue(std::span<const uint8_t, 16>(iv.data(), 16));
    ASSERT_TRUE(aes.encryptBuffer(buffer));
    ASSERT_EQ(buffer, opensslCrypt(EVP_aes_256_cbc(), true, key, iv.data(), padded(plain)))
        << "length " << length;
    // Decrypted a piece at a time, the padded plain data.
    ByteBuffer pieces = buffer;
    aes.setChainingValue(std::span<const uint8_t, 16>(iv.data(), 16));
    for (size_t done = 0; done < pieces.size();) {
      const size_t step = std::min(pieces.size() - done, size_t{16} * (1 + done % 5));
      ASSERT_TRUE(aes.decryptBlocks(pieces.mutableSpan().subspan(done, step)));
      done += step;
    }
    aes.endChaining();
    ASSERT_EQ(pieces, padded(plain)) << "length " << length;
    aes.setChainingValue(std::span<const uint8_t, 16>(iv.data(), 16));
    ASSERT_TRUE(aes.decryptBuffer(buffer));
    ASSERT_EQ(buffer, plain) << "length " << length;
  }
  // Whole blocks only.
  ByteBuffer ragged(17);
  EXPECT_FALSE(aes.decryptBlocks(ragged.mutableSpan()));
  EXPECT_EQ(ragged, ByteBuffer(17));
}

TEST_P(AesPathTest, KeystreamIsTheEncryptedCounterBlocks) {
  std::mt19937 random(5);
  const ByteBuffer key = test::randomBytes(random, 32);
  ByteBuffer counters;
  for (uint32_t i = 0; i < 40; ++i) {
    for (int copy = 0; copy < 4; ++copy) counters.appendU32(i);
  }
  const ByteBuffer expected = opensslCrypt(EVP_aes_256_ecb(), true, key, nullptr, counters);
  AesCipher aes(key);
  // Lengths across the eight-block batches of the hardware path.
  for (uint32_t length : {0u, 1u, 16u, 20u, 127u, 128u, 129u, 640u}) {
    ByteBuffer stream = aes.keystream(length);
    ASSERT_EQ(stream.size(), length);
    EXPECT_EQ(stream, ByteBuffer(expected.data(), length)) << length;
  }
}

INSTANTIATE_TEST_SUITE_P(BothPaths, AesPathTest, ::testing::Bool(), test::codePathName);

TEST(AesCipherTest, HardwareAndPortableObjectsAgree) {
  if (!detectedCpuFeatures().aes) GTEST_SKIP() << "no AES instructions on this processor";
  std::mt19937 random(11);
  for (size_t key_length : {16u, 24u, 32u}) {
    const ByteBuffer key = test::randomBytes(random, key_length);
    forcePortableCrypto(true);
    AesCipher portable(key);
    forcePortableCrypto(false);
    AesCipher hardware(key);
    for (size_t length : {0u, 15u, 16u, 100u, 1000u}) {
      ByteBuffer a = test::randomBytes(random, length);
      ByteBuffer b = a;
      ASSERT_TRUE(portable.encryptBuffer(a));
      ASSERT_TRUE(hardware.encryptBuffer(b));
      EXPECT_EQ(a, b);
      ASSERT_TRUE(hardware.decryptBuffer(a));
      ASSERT_TRUE(portable.decryptBuffer(b));
      EXPECT_EQ(a, b);
    }
    EXPECT_EQ(portable.keystream(333), hardware.keystream(333));
  }
}

// The key schedule on the AES instructions gives, byte for byte, the round
// keys of the portable one, and they encrypt and decrypt as OpenSSL does.
TEST(AesKeyScheduleTest, InstructionScheduleMatchesPortableAndOpenSsl) {
  if (!detectedCpuFeatures().aes) GTEST_SKIP() << "no AES instructions on this processor";
  using aes_internal::hardwareFunctions;
  using aes_internal::portableFunctions;
  std::mt19937 random(13);
  const EVP_CIPHER* ecb[] = {EVP_aes_128_ecb(), EVP_aes_192_ecb(), EVP_aes_256_ecb()};
  for (size_t key_length : {16u, 24u, 32u}) {
    for (int trial = 0; trial < 24; ++trial) {
      ByteBuffer key = test::randomBytes(random, key_length);
      if (trial < 2) std::fill(key.data(), key.data() + key_length, trial == 0 ? 0x00 : 0xff);
      uint8_t portable[2][240] = {};
      uint8_t hardware[2][240] = {};
      const uint32_t rounds =
          portableFunctions().expandKey(key.data(), key_length, portable[0], portable[1]);
      ASSERT_EQ(rounds, key_length / 4 + 6);
      ASSERT_EQ(hardwareFunctions().expandKey(key.data(), key_length, hardware[0], hardware[1]),
                rounds);
      const size_t bytes = 16 * (rounds + 1);
      EXPECT_EQ(hexOf(hardware[0], bytes), hexOf(portable[0], bytes)) << key_length << " " << trial;
      EXPECT_EQ(hexOf(hardware[1], bytes), hexOf(portable[1], bytes)) << key_length << " " << trial;

      const ByteBuffer plain = test::randomBytes(random, 16);
      ByteBuffer block = plain;
      hardwareFunctions().encryptBlock(hardware[0], rounds, block.data());
      EXPECT_EQ(block, opensslCrypt(ecb[key_length / 8 - 2], true, key, nullptr, plain));
      hardwareFunctions().decryptBlock(hardware[1], rounds, block.data());
      EXPECT_EQ(block, plain);
    }
  }
  uint8_t keys[2][240] = {};
  const uint8_t key[33] = {};
  for (size_t refused : {0u, 15u, 17u, 31u, 33u}) {
    EXPECT_EQ(hardwareFunctions().expandKey(key, refused, keys[0], keys[1]), 0u) << refused;
  }
}

TEST(AesCipherTest, ChainingValueReturnsToZeroAfterEachBuffer) {
  AesCipher aes(ByteBuffer(std::string(32, 'k')));
  ByteBuffer iv(std::string(16, 'v'));
  ByteBuffer first(std::string(40, 'p'));
  ByteBuffer second = first;
  ByteBuffer zero_iv = first;
  aes.setChainingValue(std::span<const uint8_t, 16>(iv.data(), 16));
  ASSERT_TRUE(aes.encryptBuffer(first));
  ASSERT_TRUE(aes.encryptBuffer(second));
  AesCipher fresh(ByteBuffer(std::string(32, 'k')));
  ASSERT_TRUE(fresh.encryptBuffer(zero_iv));
  EXPECT_NE(first, second);
  EXPECT_EQ(second, zero_iv);
}

TEST(AesCipherTest, UnpaddingRules) {
  AesCipher aes(ByteBuffer(std::string(32, 'k')));
  // Builds a ciphertext whose last plain byte is `last` (zero IV).
  auto cipherWithLastByte = [&](size_t blocks, uint8_t last) {
    ByteBuffer plain(blocks * 16);
    plain[plain.size() - 1] = last;
    ByteBuffer cipher = plain;
    aes.encryptBuffer(cipher);  // adds a full padding block we then drop
    cipher.resize(blocks * 16);
    return cipher;
  };

  ByteBuffer odd(std::string(15, 'x'));
  EXPECT_FALSE(aes.decryptBuffer(odd));
  EXPECT_EQ(odd, ByteBuffer(std::string(15, 'x')));  // untouched
  ByteBuffer empty;
  EXPECT_FALSE(aes.decryptBuffer(empty));

  ByteBuffer seventeen = cipherWithLastByte(2, 17);
  EXPECT_FALSE(aes.decryptBuffer(seventeen));
  EXPECT_TRUE(seventeen.empty());

  ByteBuffer zero = cipherWithLastByte(2, 0);
  ASSERT_TRUE(aes.decryptBuffer(zero));
  EXPECT_EQ(zero.size(), 32u);  // n = 0 removes nothing

  ByteBuffer whole = cipherWithLastByte(1, 16);
  ASSERT_TRUE(aes.decryptBuffer(whole));
  EXPECT_TRUE(whole.empty());

  ByteBuffer five = cipherWithLastByte(2, 5);
  ASSERT_TRUE(aes.decryptBuffer(five));
  EXPECT_EQ(five.size(), 27u);  // filler bytes are not checked
}

TEST(AesCipherTest, InvalidKeysWipeAndEmptyEveryBuffer) {
  for (size_t length : {0u, 15u, 31u, 33u, 64u}) {
    AesCipher aes(ByteBuffer(std::string(length, 'k')));
    EXPECT_FALSE(aes.valid());
    ByteBuffer plain(std::string(32, 'p'));
    EXPECT_FALSE(aes.encryptBuffer(plain));
    EXPECT_TRUE(plain.empty());
    ByteBuffer cipher(std::string(32, 'c'));
    EXPECT_FALSE(aes.decryptBuffer(cipher));
    EXPECT_TRUE(cipher.empty());
    EXPECT_TRUE(aes.keystream(32).empty());
    uint8_t block[16] = {1, 2, 3};
    EXPECT_FALSE(aes.encryptBlock(block));
    EXPECT_EQ(block[0], 0);
  }
}

TEST(AesCipherTest, CancelStopsBufferWorkAndWipesTheBuffer) {
  AesCipher aes(ByteBuffer(std::string(32, 'k')));
  ProgressCounter progress;
  aes.setProgress(&progress);
  ByteBuffer plain(std::string(100, 'p'));
  ASSERT_TRUE(aes.encryptBuffer(plain));
  EXPECT_EQ(progress.bytes.load(), 112u);  // 16 per block

  progress.requestCancel();
  ByteBuffer more(std::string(100, 'p'));
  EXPECT_FALSE(aes.encryptBuffer(more));
  EXPECT_TRUE(more.empty());
  EXPECT_FALSE(aes.decryptBuffer(plain));
  EXPECT_TRUE(plain.empty());
  EXPECT_TRUE(aes.keystream(64).empty());
}

TEST(KeyDerivationTest, KeysAreTheTwoHalvesOfTheCounterStream) {
  const ByteBuffer master(std::string(32, 'm'));
  KeyPair pair = deriveKeys(master);
  ASSERT_EQ(pair.count, 2u);
  const ByteBuffer stream = AesCipher(master).keystream(64);
  EXPECT_EQ(pair.key(0), ByteBuffer(stream.data(), 32));
  EXPECT_EQ(pair.key(1), ByteBuffer(stream.data() + 32, 32));
  EXPECT_TRUE(pair.key(2).empty());
  EXPECT_EQ(deriveKeys(master).key(1), pair.key(1));

  KeyPair refused = deriveKeys(ByteBuffer(std::string(20, 'm')));
  EXPECT_EQ(refused.count, 0u);
  EXPECT_TRUE(refused.key(0).empty());
}

}  // namespace
}  // namespace vl
