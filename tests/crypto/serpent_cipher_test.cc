#include "crypto/serpent_cipher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "symmetric_test_util.h"

namespace vl {
namespace {

using test::hexBytes;
using test::hexOf;

// NESSIE publishes Serpent with the key read little-endian; our layout reads
// the key as one big-endian number, so the published key bytes appear here
// reversed. Blocks are little-endian words in both, so they are unchanged.
ByteBuffer ourKeyFromNessie(const char* hex) {
  ByteBuffer key = hexBytes(hex);
  std::reverse(key.data(), key.data() + key.size());
  return key;
}

TEST(SerpentCipherTest, NessieVectorsInOurKeyLayout) {
  const struct {
    const char* key;
    const char* plain;
    const char* cipher;
  } cases[] = {
      // Set 1, vector 0, for 128 and 256-bit keys.
      {"80000000000000000000000000000000", "00000000000000000000000000000000",
       "264e5481eff42a4606abda06c0bfda3d"},
      {"8000000000000000000000000000000000000000000000000000000000000000",
       "00000000000000000000000000000000", "a223aa1288463c0e2be38ebd825616c0"},
      // Set 4, vector 0, for 128, 192 and 256-bit keys.
      {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
       "563e2cf8740a27c164804560391e9b27"},
      {"000102030405060708090a0b0c0d0e0f1011121314151617", "00112233445566778899aabbccddeeff",
       "6ab816c82de53b93005008afa2246a02"},
      {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
       "00112233445566778899aabbccddeeff", "2868b7a2d28ecd5e4fdefac3c4330074"},
  };
  for (const auto& c : cases) {
    SerpentCipher serpent(ourKeyFromNessie(c.key));
    ASSERT_TRUE(serpent.valid());
    ByteBuffer block = hexBytes(c.plain);
    ASSERT_TRUE(serpent.encryptBlock(block.data()));
    EXPECT_EQ(hexOf(block), c.cipher) << c.key;
  }
}

// The high bit of the first key byte is the top bit of the key number.
TEST(SerpentCipherTest, FirstKeyByteIsTheMostSignificant) {
  ByteBuffer key(32);
  key[31] = 0x80;
  SerpentCipher serpent(key);
  ByteBuffer block(16);
  serpent.encryptBlock(block.data());
  EXPECT_EQ(hexOf(block), "a223aa1288463c0e2be38ebd825616c0");
}

TEST(SerpentCipherTest, KeystreamEncryptsTheCounterInAllFourWords) {
  const ByteBuffer key = ourKeyFromNessie(
      "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
  SerpentCipher serpent(key);
  EXPECT_EQ(hexOf(serpent.keystream(40)),
            "eaa13861df3aa19452d04e776287cd4a8b5fff350d93cd656d51436e5362ac62"
            "cca757f5c2cbd14d");
  ByteBuffer counter_one(16);
  for (int i = 0; i < 16; i += 4) counter_one[i] = 1;
  serpent.encryptBlock(counter_one.data());
  EXPECT_EQ(ByteBuffer(serpent.keystream(32).data() + 16, 16), counter_one);
}

TEST(SerpentCipherTest, RefusedKeysAndCancel) {
  SerpentCipher short_key(ByteBuffer(std::string(31, 'k')));
  EXPECT_FALSE(short_key.valid());
  EXPECT_TRUE(short_key.keystream(16).empty());

  SerpentCipher serpent(ByteBuffer(std::string(32, 'k')));
  ProgressCounter progress;
  serpent.setProgress(&progress);
  EXPECT_EQ(serpent.keystream(256).size(), 256u);
  EXPECT_EQ(progress.bytes.load(), 256u);
  progress.requestCancel();
  EXPECT_TRUE(serpent.keystream(256).empty());
}

}  // namespace
}  // namespace vl
