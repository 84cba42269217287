#include "crypto/hmac_sha256.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <random>
#include <string>

#include "symmetric_test_util.h"

namespace vl {
namespace {

using test::hexBytes;
using test::hexOf;

std::string macOf(const ByteBuffer& key, const ByteBuffer& message) {
  return hexOf(HmacSha256(key).mac(message));
}

// RFC 4231 cases whose keys are 16 to 64 bytes long.
TEST(HmacSha256Test, Rfc4231CasesWithAcceptedKeys) {
  EXPECT_EQ(macOf(ByteBuffer(std::string(20, '\x0b')), ByteBuffer(std::string_view("Hi There"))),
            "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
  EXPECT_EQ(macOf(ByteBuffer(std::string(20, '\xaa')), ByteBuffer(std::string(50, '\xdd'))),
            "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe");
  EXPECT_EQ(macOf(hexBytes("0102030405060708090a0b0c0d0e0f10111213141516171819"),
                  ByteBuffer(std::string(50, '\xcd'))),
            "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b");
  EXPECT_EQ(macOf(ByteBuffer(std::string(20, '\x0c')),
                  ByteBuffer(std::string_view("Test With Truncation")))
                .substr(0, 32),
            "a3b6167473100ee06e0c796c2955552b");
}

// The RFC's 4-byte and 131-byte keys, and the lengths just outside the range,
// are refused rather than padded or hashed down.
TEST(HmacSha256Test, KeysOutsideSixteenToSixtyFourBytesGiveEmptyTags) {
  for (size_t length : {0u, 4u, 15u, 65u, 131u}) {
    HmacSha256 mac(ByteBuffer(std::string(length, '\xaa')));
    EXPECT_FALSE(mac.valid()) << length;
    EXPECT_TRUE(mac.mac(ByteBuffer(std::string_view("message"))).empty()) << length;
    Sha256 inner;
    mac.start(&inner);
    inner.update(ByteBuffer(std::string_view("message")));
    EXPECT_TRUE(mac.finish(&inner).empty()) << length;
  }
}

TEST(HmacSha256Test, MatchesOpenSslForBoundaryKeysAndRandomMessages) {
  std::mt19937 random(7);
  for (size_t key_length : {16u, 17u, 32u, 63u, 64u}) {
    ByteBuffer key = test::randomBytes(random, key_length);
    HmacSha256 mac(key);
    ASSERT_TRUE(mac.valid());
    for (size_t length : {0u, 1u, 55u, 64u, 1000u, 100000u}) {
      ByteBuffer message = test::randomBytes(random, length);
      uint8_t expected[32];
      unsigned int expected_length = 0;
      HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), message.data(), message.size(),
           expected, &expected_length);
      // The same object serves any number of messages.
      EXPECT_EQ(hexOf(mac.mac(message)), hexOf(expected, expected_length))
          << key_length << "/" << length;
      // Fed in uneven pieces, the same tag.
      Sha256 inner;
      mac.start(&inner);
      for (size_t done = 0; done < length; done += 1 + done % 97) {
        inner.update(message.data() + done, std::min(length - done, 1 + done % 97));
      }
      EXPECT_EQ(hexOf(mac.finish(&inner)), hexOf(expected, expected_length))
          << key_length << "/" << length;
    }
  }
}

TEST(HmacSha256Test, CancelledHashGivesAnEmptyTagAndCountsMessageBytesOnly) {
  HmacSha256 mac(ByteBuffer(std::string(32, 'k')));
  ProgressCounter progress;
  mac.setProgress(&progress);
  ByteBuffer message(6400);
  EXPECT_EQ(mac.mac(message).size(), 32u);
  EXPECT_EQ(progress.bytes.load(), 6400u);
  progress.requestCancel();
  EXPECT_TRUE(mac.mac(message).empty());
}

}  // namespace
}  // namespace vl
