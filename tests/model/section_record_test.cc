#include "model/section_record.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "codec/block_codec.h"
#include "codec/run_length_coder.h"
#include "codec/sample_data.h"
#include "codec/table_huffman_coder.h"
#include "crypto/aes_cipher.h"
#include "crypto/hmac_sha256.h"
#include "crypto/rsa_test_keys.h"
#include "crypto/section_cipher.h"
#include "crypto/sha256.h"

namespace vl {
namespace {

using test::fixedKeys;

constexpr uint32_t kBodyOffset = 6 + 4 + 256;  // header, wrapped secret field

std::vector<uint8_t> randomBytes(uint32_t length, uint32_t seed) {
  return test::randomBytes(length, seed);
}

std::vector<uint8_t> textLike(uint32_t length) { return test::textLike(length, 5); }

uint32_t fieldLength(const ByteBuffer& record, uint32_t offset) {
  return record[offset] | (record[offset + 1] << 8) | (record[offset + 2] << 16) |
         (static_cast<uint32_t>(record[offset + 3]) << 24);
}

class SectionRecordTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(fixedKeys().ok); }

  ByteBuffer seal(std::span<const uint8_t> piece, bool compress, SectionStats* stats) {
    return sealSection(piece, localKey_.span(), fixedKeys().encryption, compress, pool(), stats);
  }
  std::optional<ByteBuffer> open(std::span<const uint8_t> record) {
    return openSection(record, localKey_.span(), fixedKeys().encryption);
  }
  RandomPool& pool() { return fixedKeys().pool; }

  // A record made by hand as an earlier writer would have: `data` is the
  // already compressed body of `kind`. Version 0 uses K directly as AES and
  // HMAC key and keeps the tag in a third field; version 1 seals with the
  // section cipher.
  ByteBuffer handMade(uint16_t version, uint8_t kind, std::span<const uint8_t> data) {
    const RsaKey& key = fixedKeys().encryption;
    BigNumber r;
    std::vector<uint8_t> raw = randomBytes(256, 99);
    r.fromBytes(raw);
    RsaKey::reduceBelow(&r, key.modulus());
    BigNumber wrapped;
    EXPECT_TRUE(key.publicOperation(r, &wrapped));
    ByteBuffer secret = sha256(r.toBytes(0));
    ByteBuffer k(32);
    for (int i = 0; i < 32; ++i) k[i] = localKey_[i] ^ secret[i];

    ByteBuffer record;
    record.appendU16(100);
    record.appendU16(version);
    record.appendU8(0);
    record.appendU8(kind);
    record.appendCounted(wrapped.toBytes(256));
    ByteBuffer body(data);
    if (version == 1) {
      SectionCipher cipher(k, &pool());
      EXPECT_TRUE(cipher.seal(body));
      record.appendCounted(body);
      return record;
    }
    ByteBuffer iv(randomBytes(16, 98));
    AesCipher aes(k);
    aes.setChainingValue(std::span<const uint8_t, 16>(iv.data(), 16));
    EXPECT_TRUE(aes.encryptBuffer(body));
    ByteBuffer sealed = iv;
    sealed.appendBytes(body);
    record.appendCounted(sealed);
    record.appendCounted(HmacSha256(k).mac(sealed));
    return record;
  }

  ByteBuffer localKey_{std::string_view("0123456789abcdef0123456789ABCDEF")};
};

TEST_F(SectionRecordTest, PiecesOfEveryShapeRoundTrip) {
  struct Case {
    const char* name;
    std::vector<uint8_t> piece;
    bool compress;
    uint8_t kind;
    bool useless;
  };
  std::vector<Case> cases = {
      {"empty", {}, true, 0, true},
      {"one byte", {0x41}, true, 0, true},
      {"16 bytes", std::vector<uint8_t>(16, 0x41), true, 4, false},
      {"2 MiB zero", std::vector<uint8_t>(kMaxSectionSize, 0), true, 4, false},
      {"2 MiB random", randomBytes(kMaxSectionSize, 1), true, 0, true},
      {"text", textLike(300000), true, 4, false},
      {"text, not compressed", textLike(5000), false, 0, false},
  };
  for (const Case& c : cases) {
    SectionStats stats;
    ByteBuffer record = seal(c.piece, c.compress, &stats);
    ASSERT_FALSE(record.empty()) << c.name;
    EXPECT_EQ(record[0] | (record[1] << 8), 100) << c.name;
    EXPECT_EQ(record[2] | (record[3] << 8), 1) << c.name;
    EXPECT_EQ(record[4], 0) << c.name;
    EXPECT_EQ(record[5], c.kind) << c.name;
    EXPECT_EQ(fieldLength(record, 6), 256u) << c.name;
    EXPECT_EQ(stats.compressed, c.kind != 0) << c.name;
    EXPECT_EQ(stats.compressionUseless, c.useless) << c.name;
    EXPECT_EQ(stats.plainLength, c.piece.size()) << c.name;
    if (c.kind == 0) {
      EXPECT_EQ(stats.storedLength, stats.plainLength) << c.name;
    } else {
      EXPECT_LT(stats.storedLength, stats.plainLength) << c.name;
    }
    // IV, the padded data and the tag.
    uint32_t body = fieldLength(record, kBodyOffset);
    EXPECT_EQ(body, 16 + (stats.storedLength / 16 + 1) * 16 + 32) << c.name;
    EXPECT_EQ(record.size(), kBodyOffset + 4 + body) << c.name;

    std::optional<ByteBuffer> opened = open(record.span());
    ASSERT_TRUE(opened.has_value()) << c.name;
    EXPECT_EQ(*opened, ByteBuffer(std::span<const uint8_t>(c.piece))) << c.name;
  }
}

TEST_F(SectionRecordTest, AnyChangedByteOfTheSecretOrBodyFails) {
  std::vector<uint8_t> piece = textLike(60);
  SectionStats stats;
  ByteBuffer record = seal(piece, true, &stats);
  ASSERT_FALSE(record.empty());
  // Every byte of the body, every third of the wrapped secret (each try
  // costs a private-key operation).
  for (uint32_t i = 6; i < record.size(); i += i < kBodyOffset ? 3 : 1) {
    ByteBuffer changed = record;
    changed[i] ^= static_cast<uint8_t>(1 << (i % 8));
    EXPECT_FALSE(open(changed.span()).has_value()) << "byte " << i;
  }
  EXPECT_TRUE(open(record.span()).has_value());
}

TEST_F(SectionRecordTest, AnotherAccountOrLocalKeyFails) {
  std::vector<uint8_t> piece = textLike(4096);
  SectionStats stats;
  ByteBuffer record = seal(piece, true, &stats);
  ASSERT_FALSE(record.empty());
  EXPECT_FALSE(openSection(record.span(), localKey_.span(), fixedKeys().other).has_value());
  ByteBuffer otherLocal = localKey_;
  otherLocal[31] ^= 0x80;
  EXPECT_FALSE(openSection(record.span(), otherLocal.span(), fixedKeys().encryption).has_value());
  // A key without its private half cannot open anything.
  RsaKey publicOnly;
  ASSERT_TRUE(publicOnly.load(fixedKeys().encryption.exportPublic().span(), false, 2048,
                              RsaKeyKind::kEncryption, nullptr));
  EXPECT_FALSE(openSection(record.span(), localKey_.span(), publicOnly).has_value());
  // Two seals of the same piece share nothing but the header.
  ByteBuffer again = seal(piece, true, &stats);
  EXPECT_NE(ByteBuffer(again.data() + 10, 256), ByteBuffer(record.data() + 10, 256));
}

// Restores open several records at once with one key.
TEST_F(SectionRecordTest, OneKeyOpensRecordsOnSeveralThreadsAtOnce) {
  std::vector<ByteBuffer> records;
  SectionStats stats;
  for (uint32_t i = 0; i < 4; ++i) {
    records.push_back(seal(test::textLike(3000 + i, i), true, &stats));
    ASSERT_FALSE(records.back().empty());
  }
  std::atomic<int> opened{0};
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 3; ++round) {
        std::optional<ByteBuffer> piece = open(records[(t + round) % 4].span());
        if (piece && piece->size() == 3000 + (t + round) % 4) opened.fetch_add(1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(opened.load(), 12);
}

TEST_F(SectionRecordTest, HeadersAndTruncationsAreRejectedWithoutTheKey) {
  std::vector<uint8_t> piece = textLike(100);
  SectionStats stats;
  ByteBuffer record = seal(piece, true, &stats);
  ASSERT_FALSE(record.empty());
  auto changed = [&](uint32_t offset, uint8_t value) {
    ByteBuffer copy = record;
    copy[offset] = value;
    return copy;
  };
  EXPECT_FALSE(open(changed(0, 101).span()));  // type
  EXPECT_FALSE(open(changed(2, 2).span()));    // version 2
  EXPECT_FALSE(open(changed(3, 1).span()));    // version 257
  EXPECT_FALSE(open(changed(4, 1).span()));    // byte 4
  EXPECT_FALSE(open(changed(5, 5).span()));    // kind
  EXPECT_FALSE(open(changed(6, 255).span()));  // wrapped secret of 255 bytes
  EXPECT_FALSE(open(changed(7, 2).span()));    // ... or 512
  for (uint32_t length = 0; length < record.size(); ++length) {
    EXPECT_FALSE(open(record.span().first(length))) << length;
  }
  ByteBuffer shortLocal(31);
  EXPECT_FALSE(openSection(record.span(), shortLocal.span(), fixedKeys().encryption));
}

TEST_F(SectionRecordTest, SealingRefusesWrongKeysAndAnUncreditedPool) {
  std::vector<uint8_t> piece = textLike(100);
  SectionStats stats;
  ByteBuffer shortLocal(31);
  EXPECT_TRUE(
      sealSection(piece, shortLocal.span(), fixedKeys().encryption, true, pool(), &stats).empty());
  EXPECT_TRUE(
      sealSection(piece, localKey_.span(), fixedKeys().signing, true, pool(), &stats).empty());
  RsaKey large;
  ByteBuffer modulus(randomBytes(384, 3));
  modulus[0] |= 1;
  ASSERT_TRUE(large.load(modulus.span(), false, 3072, RsaKeyKind::kEncryption, nullptr));
  EXPECT_TRUE(sealSection(piece, localKey_.span(), large, true, pool(), &stats).empty());
  RandomPool empty;
  EXPECT_TRUE(
      sealSection(piece, localKey_.span(), fixedKeys().encryption, true, empty, &stats).empty());
}

// Records of the earlier format and of the kinds only read today.
TEST_F(SectionRecordTest, EarlierVersionsAndKindsAreRead) {
  std::vector<uint8_t> piece = textLike(20000);
  ByteBuffer runLength;
  ByteBuffer table;
  ByteBuffer both;
  ByteBuffer tree;
  ASSERT_TRUE(RunLengthCoder::encode(piece, &runLength));
  ASSERT_TRUE(TableHuffmanCoder::encode(piece, &table));
  ASSERT_TRUE(TableHuffmanCoder::encode(runLength.span(), &both));
  ASSERT_TRUE(compressSection(piece, &tree));
  const ByteBuffer stored{std::span<const uint8_t>(piece)};
  const ByteBuffer* bodies[] = {&stored, &runLength, &table, &both, &tree};
  for (uint16_t version : {0, 1}) {
    for (uint8_t kind = 0; kind <= 4; ++kind) {
      ByteBuffer record = handMade(version, kind, bodies[kind]->span());
      std::optional<ByteBuffer> opened = open(record.span());
      ASSERT_TRUE(opened.has_value()) << "version " << version << " kind " << int{kind};
      EXPECT_EQ(*opened, stored) << "version " << version << " kind " << int{kind};
    }
  }
  // A version-0 record's tag is keyed with K itself: a changed tag fails.
  ByteBuffer record = handMade(0, 0, stored.span());
  record[record.size() - 1] ^= 1;
  EXPECT_FALSE(open(record.span()));
}

TEST_F(SectionRecordTest, CorruptCompressedStreamsFailAfterTheTag) {
  // A run-length stream cut inside a run, and random bytes for the others.
  EXPECT_FALSE(open(handMade(1, 1, std::vector<uint8_t>{0xff, 0xff, 0x41}).span()));
  std::vector<uint8_t> garbage = randomBytes(300, 4);
  for (uint8_t kind = 2; kind <= 4; ++kind) {
    EXPECT_FALSE(open(handMade(1, kind, garbage).span())) << int{kind};
  }
  // The count-table kind needs a whole stream header.
  EXPECT_FALSE(open(handMade(1, 2, std::vector<uint8_t>(8, 0)).span()));
  // An empty body of the other kinds is an empty piece.
  std::optional<ByteBuffer> opened = open(handMade(1, 4, {}).span());
  ASSERT_TRUE(opened.has_value());
  EXPECT_TRUE(opened->empty());
}

TEST_F(SectionRecordTest, OpeningTogetherGivesWhatOpeningEachGives) {
  // Good records of both versions and several kinds, with damaged ones among
  // them: a wrapped secret not below the modulus, a changed body byte, a bad
  // header, a cut record, another account's record and an empty one.
  std::vector<ByteBuffer> records;
  SectionStats stats;
  for (uint32_t i = 0; i < 6; ++i) {
    records.push_back(seal(textLike(100 + 700 * i), i % 2 == 0, &stats));
  }
  records.push_back(handMade(0, 0, randomBytes(50, 3)));
  ByteBuffer unwrappable = records[1];
  for (uint32_t i = 10; i < 10 + 256; ++i) unwrappable[i] = 0xff;
  ByteBuffer changedBody = records[2];
  changedBody[kBodyOffset + 20] ^= 4;
  ByteBuffer badHeader = records[3];
  badHeader[4] = 1;
  ByteBuffer otherAccount =
      sealSection(textLike(90), localKey_.span(), fixedKeys().other, true, pool(), &stats);
  std::vector<ByteBuffer> mixed = {records[0],
                                   unwrappable,
                                   records[1],
                                   changedBody,
                                   records[2],
                                   badHeader,
                                   ByteBuffer(records[4].data(), records[4].size() - 1),
                                   records[3],
                                   otherAccount,
                                   ByteBuffer(),
                                   records[4],
                                   records[5],
                                   records[6]};
  std::vector<std::span<const uint8_t>> spans;
  for (const ByteBuffer& record : mixed) spans.push_back(record.span());
  for (size_t count : {size_t{0}, size_t{1}, size_t{5}, mixed.size()}) {
    std::vector<std::optional<ByteBuffer>> opened =
        openSections(std::span(spans).first(count), localKey_.span(), fixedKeys().encryption);
    ASSERT_EQ(opened.size(), count);
    for (size_t i = 0; i < count; ++i) EXPECT_EQ(opened[i], open(spans[i])) << count << " " << i;
  }
  std::vector<std::optional<ByteBuffer>> opened =
      openSections(spans, localKey_.span(), fixedKeys().encryption);
  for (size_t i : {1, 3, 5, 6, 8, 9}) EXPECT_FALSE(opened[i].has_value()) << i;
  for (size_t i : {0, 2, 4, 7, 10, 11, 12}) EXPECT_TRUE(opened[i].has_value()) << i;
  EXPECT_EQ(*opened[0], ByteBuffer(std::span<const uint8_t>(textLike(100))));

  // In two steps: only the records that fail before the private operation
  // get no secret, and a record opened with another record's secret fails.
  std::vector<std::optional<ByteBuffer>> secrets =
      unwrapSectionSecrets(spans, localKey_.span(), fixedKeys().encryption);
  ASSERT_EQ(secrets.size(), spans.size());
  for (size_t i : {5, 6, 9}) EXPECT_FALSE(secrets[i].has_value()) << i;
  for (size_t i : {0, 1, 2, 3, 4, 7, 8, 10, 11, 12}) ASSERT_TRUE(secrets[i].has_value()) << i;
  EXPECT_EQ(openUnwrappedSection(spans[11], localKey_.span(), *secrets[11]), open(spans[11]));
  EXPECT_FALSE(openUnwrappedSection(spans[11], localKey_.span(), *secrets[10]).has_value());
  EXPECT_FALSE(openUnwrappedSection(spans[11], localKey_.span(), ByteBuffer()).has_value());
  // Opening in the record's own memory gives the same, good or bad.
  for (size_t i = 0; i < mixed.size(); ++i) {
    if (!secrets[i]) continue;
    ByteBuffer record = mixed[i];
    EXPECT_EQ(openUnwrappedSection(record, localKey_.span(), *secrets[i]), opened[i]) << i;
  }

  // Another local key opens none of them.
  ByteBuffer otherLocal(32);
  for (const auto& piece : openSections(spans, otherLocal.span(), fixedKeys().encryption)) {
    EXPECT_FALSE(piece.has_value());
  }
}

}  // namespace
}  // namespace vl
