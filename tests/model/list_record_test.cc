#include "model/list_record.h"

#include <gtest/gtest.h>

#include "codec/table_huffman_coder.h"
#include "crypto/aes_cipher.h"
#include "crypto/hmac_sha256.h"
#include "crypto/section_cipher.h"
#include "model/list_payload.h"
#include "tests/model/list_fixtures.h"

namespace vl {
namespace {

class ListRecordTest : public testing::Test {
 protected:
  void SetUp() override {
    uint8_t seed[32] = {1, 2, 3};
    pool_.addBytes(seed, true);
    for (int i = 0; i < 32; ++i) {
      key_[i] = static_cast<uint8_t>(0xA0 + i);
      otherKey_[i] = static_cast<uint8_t>(0xA0 + i);
    }
    otherKey_[31] ^= 1;
    payload_ = serializeList(test::sampleList(), 1);
  }

  // A version-0 record: body = IV || CBC ciphertext under the key itself,
  // then a field with HMAC-SHA256 (keyed with the key itself) of the body.
  ByteBuffer versionZeroRecord(std::span<const uint8_t> plain) {
    ByteBuffer ciphertext(plain);
    uint8_t iv[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1};
    AesCipher aes{std::span<const uint8_t>(key_)};
    aes.setChainingValue(iv);
    EXPECT_TRUE(aes.encryptBuffer(ciphertext));
    ByteBuffer body(iv, 16);
    body.appendBytes(ciphertext);
    ByteBuffer record;
    record.appendU16(103);
    record.appendU16(0);
    record.appendU16(0);
    record.appendCounted(body);
    record.appendCounted(HmacSha256(std::span<const uint8_t>(key_)).mac(body));
    return record;
  }

  ByteBuffer compressed(const ByteBuffer& payload) {
    ByteBuffer out;
    EXPECT_TRUE(TableHuffmanCoder::encode(payload.span(), &out));
    return out;
  }

  RandomPool pool_;
  uint8_t key_[32];
  uint8_t otherKey_[32];
  ByteBuffer payload_;
};

TEST_F(ListRecordTest, SealedListOpensToThePayload) {
  ByteBuffer record = sealList(payload_.span(), key_, pool_);
  ASSERT_FALSE(record.empty());
  const uint8_t header[] = {103, 0, 1, 0, 0, 0};
  EXPECT_TRUE(std::equal(header, header + 6, record.data()));
  std::optional<ByteBuffer> opened = openList(record.span(), key_);
  ASSERT_TRUE(opened);
  EXPECT_EQ(*opened, payload_);
  // A fresh IV each time.
  EXPECT_FALSE(record == sealList(payload_.span(), key_, pool_));
}

TEST_F(ListRecordTest, BodyIsTheSectionCipherSealOfTheCountTableStream) {
  ByteBuffer record = sealList(payload_.span(), key_, pool_);
  record.setReadPosition(6);
  ByteBuffer body = record.readCounted();
  EXPECT_EQ(record.remaining(), 0u);
  SectionCipher cipher(std::span<const uint8_t>(key_), &pool_);
  ASSERT_TRUE(cipher.open(body));
  EXPECT_EQ(body, compressed(payload_));

  // And the other way round: a body sealed by SectionCipher opens here.
  ByteBuffer sealed = compressed(payload_);
  ASSERT_TRUE(cipher.seal(sealed));
  ByteBuffer byHand;
  byHand.appendU16(103);
  byHand.appendU16(1);
  byHand.appendU16(0);
  byHand.appendCounted(sealed);
  EXPECT_EQ(openList(byHand.span(), key_), payload_);
}

TEST_F(ListRecordTest, EmptyPayloadSealsAndOpensAsEmpty) {
  ByteBuffer record = sealList({}, key_, pool_);
  ASSERT_EQ(record.size(), 6u + 4 + 64);
  std::optional<ByteBuffer> opened = openList(record.span(), key_);
  ASSERT_TRUE(opened);
  EXPECT_TRUE(opened->empty());
}

TEST_F(ListRecordTest, SealingNeedsACreditedPool) {
  RandomPool uncredited;
  EXPECT_TRUE(sealList(payload_.span(), key_, uncredited).empty());
}

TEST_F(ListRecordTest, WrongKeyAnyAlteredByteOrCutOffFails) {
  ByteBuffer record = sealList(payload_.span(), key_, pool_);
  EXPECT_FALSE(openList(record.span(), otherKey_));
  for (uint32_t i = 0; i < record.size(); ++i) {
    ByteBuffer altered = record;
    altered[i] ^= (i == 5 ? 1 : 0x40);  // byte 5 set to 1 among them
    EXPECT_FALSE(openList(altered.span(), key_)) << i;
  }
  for (uint32_t length = 0; length < record.size(); ++length) {
    EXPECT_FALSE(openList(record.span().first(length), key_)) << length;
  }
}

TEST_F(ListRecordTest, VersionZeroRecordsAreRead) {
  ByteBuffer record = versionZeroRecord(compressed(payload_).span());
  EXPECT_EQ(openList(record.span(), key_), payload_);
  EXPECT_FALSE(openList(record.span(), otherKey_));
  ByteBuffer badTag = record;
  badTag[badTag.size() - 1] ^= 1;
  EXPECT_FALSE(openList(badTag.span(), key_));
  // Without its tag field a version-0 record is incomplete.
  EXPECT_FALSE(openList(record.span().first(record.size() - 36), key_));
}

TEST_F(ListRecordTest, OpenedBodyTooShortOrNotAStreamFails) {
  const uint8_t shortBody[8] = {1, 0, 0, 0, 1, 0, 0, 0};
  EXPECT_FALSE(openList(versionZeroRecord(shortBody).span(), key_));
  ByteBuffer notAStream = compressed(payload_);
  notAStream[8] = 9;  // bytes per count must be 1 to 4
  EXPECT_FALSE(openList(versionZeroRecord(notAStream.span()).span(), key_));
}

}  // namespace
}  // namespace vl
