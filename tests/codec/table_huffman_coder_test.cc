#include "codec/table_huffman_coder.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "codec/tree_huffman_coder.h"
#include "codec_test_util.h"
#include "literal_decoders.h"

namespace vl {
namespace {

using test::Bytes;

Bytes encode(const Bytes& in) { return test::encodeWith<TableHuffmanCoder::encode>(in); }

std::optional<Bytes> decode(const Bytes& in, uint32_t limit = kMaxDecodedLength) {
  return test::decodeWith<TableHuffmanCoder::decode>(in, limit);
}

uint32_t u32At(const Bytes& b, size_t at) {
  return static_cast<uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16) |
         static_cast<uint32_t>(b[at + 3]) << 24;
}

// Header, counts and code bytes of a stream with one-byte counts.
Bytes stream(uint32_t bits, uint32_t length, const std::vector<std::pair<int, uint8_t>>& counts,
             const Bytes& codes) {
  Bytes out;
  for (uint32_t v : {bits, length}) {
    for (int k = 0; k < 4; ++k) out.push_back(static_cast<uint8_t>(v >> (8 * k)));
  }
  out.push_back(1);
  Bytes table(256, 0);
  for (auto [value, count] : counts) table[value] = count;
  out.insert(out.end(), table.begin(), table.end());
  out.insert(out.end(), codes.begin(), codes.end());
  return out;
}

TEST(TableHuffmanCoderTest, ExactStreams) {
  // One value, here 0: its leaf hangs under a wrapper root and codes as 1.
  EXPECT_EQ(encode(Bytes(10, 0)), stream(10, 10, {{0, 10}}, {0xff, 0xc0}));
  EXPECT_EQ(decode(stream(10, 10, {{0, 10}}, {0xff, 0xc0})), Bytes(10, 0));
  // Two values of equal count: the higher is the left child, code 1.
  EXPECT_EQ(encode({'A', 'B'}), stream(2, 2, {{'A', 1}, {'B', 1}}, {0x40}));
  EXPECT_EQ(decode(stream(2, 2, {{'A', 1}, {'B', 1}}, {0x40})), (Bytes{'A', 'B'}));
  // An empty input has no stream that decodes (B = 0 never does), so the
  // encoders refuse it rather than write one.
  ByteBuffer out;
  EXPECT_FALSE(TableHuffmanCoder::encode({}, &out));
  EXPECT_FALSE(TreeHuffmanCoder::encode({}, &out));
}

TEST(TableHuffmanCoderTest, CountWidthIsTheSmallestThatHoldsTheLargestCount) {
  const std::pair<size_t, int> cases[] = {{255, 1},   {256, 2},      {65535, 2},
                                          {65536, 3}, {16777215, 3}, {16777216, 4}};
  for (auto [largest, width] : cases) {
    Bytes in(largest, 0x33);
    in.push_back(0x44);
    Bytes coded = encode(in);
    ASSERT_EQ(coded[8], width) << largest;
    EXPECT_EQ(coded.size(), 9 + 256u * width + (u32At(coded, 0) + 7) / 8);
    EXPECT_EQ(u32At(coded, 4), in.size());
    EXPECT_EQ(decode(coded), in) << largest;
  }
}

TEST(TableHuffmanCoderTest, DecodingRefusesBrokenStreams) {
  const Bytes good = stream(2, 2, {{'A', 1}, {'B', 1}}, {0x40});
  EXPECT_EQ(decode(Bytes(good.begin(), good.begin() + 8)), std::nullopt);
  for (uint8_t width : {0, 5, 255}) {
    Bytes bad = good;
    bad[8] = width;
    EXPECT_EQ(decode(bad), std::nullopt) << int{width};
  }
  // The counts or the code bytes cut short.
  EXPECT_EQ(decode(Bytes(good.begin(), good.begin() + 200)), std::nullopt);
  EXPECT_EQ(decode(Bytes(good.begin(), good.end() - 1)), std::nullopt);
  // B larger than the code bytes present.
  EXPECT_EQ(decode(stream(9, 2, {{'A', 1}, {'B', 1}}, {0x40})), std::nullopt);
  // Bits ending inside a code (0 leads to an internal node when C is the
  // left leaf), and bits decoding to more or fewer than N.
  EXPECT_EQ(decode(stream(1, 1, {{'A', 1}, {'B', 1}, {'C', 2}}, {0x00})), std::nullopt);
  EXPECT_EQ(decode(stream(2, 1, {{'A', 1}, {'B', 1}, {'C', 2}}, {0x40})), (Bytes{'B'}));
  EXPECT_EQ(decode(stream(2, 1, {{'A', 1}, {'B', 1}}, {0x40})), std::nullopt);
  EXPECT_EQ(decode(stream(2, 3, {{'A', 1}, {'B', 1}}, {0x40})), std::nullopt);
  EXPECT_EQ(decode(stream(2, 0, {{'A', 1}, {'B', 1}}, {0x40})), std::nullopt);
  // No bits at all ends the walk at the root, which is never a leaf.
  EXPECT_EQ(decode(stream(0, 0, {{'A', 1}}, {})), std::nullopt);
  EXPECT_EQ(decode(stream(0, 1, {{'A', 1}}, {})), std::nullopt);
  // No counts: no tree.
  EXPECT_EQ(decode(stream(8, 1, {}, {0xff})), std::nullopt);
  // A 0 bit at the wrapper root steps to the child it does not have.
  EXPECT_EQ(decode(stream(3, 3, {{0, 3}}, {0xa0})), std::nullopt);
  EXPECT_EQ(decode(stream(3, 3, {{0, 3}}, {0xe0})), Bytes(3, 0));
  // Bits after the B code bits and bytes after the stream are not read.
  EXPECT_EQ(decode(stream(3, 3, {{0, 3}}, {0xe5, 0x77})), Bytes(3, 0));
  // Counts need not add up to N: they only shape the tree.
  EXPECT_EQ(decode(stream(3, 3, {{0, 200}}, {0xe0})), Bytes(3, 0));
  // The caller's ceiling.
  EXPECT_EQ(decode(stream(3, 3, {{0, 3}}, {0xe0}), 2), std::nullopt);
}

TEST(TableHuffmanCoderTest, AgreesWithBitByBitDecodingOnDamagedStreams) {
  std::vector<Bytes> seeds = {encode(test::textLike(3000, 7)),
                              encode(test::fibonacciCounts(20)),
                              encode(test::randomBytes(500, 8)),
                              encode(Bytes(40, 0x41)),
                              encode({'A', 'B'}),
                              encode(test::runsOf(2000, 9))};
  std::mt19937 rng(4321);
  constexpr uint32_t kLimit = 1 << 20;
  int agreed_successes = 0;
  for (int round = 0; round < 6000; ++round) {
    Bytes s = seeds[round % seeds.size()];
    size_t codes_at = 9 + 256 * static_cast<size_t>(s[8]);
    switch (rng() % 4) {
      case 0:  // flip code bits
        for (int k = 1 + static_cast<int>(rng() % 3); k > 0; --k) {
          size_t at = codes_at + rng() % (s.size() - codes_at);
          s[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
        }
        break;
      case 1:  // change a count
        s[9 + rng() % (256 * s[8])] ^= static_cast<uint8_t>(1 + rng() % 255);
        break;
      case 2:  // change B or N by a little
        s[rng() % 2 == 0 ? 0 : 4] += static_cast<uint8_t>(rng() % 5 - 2);
        break;
      default:  // cut
        s.resize(rng() % s.size());
        break;
    }
    std::optional<Bytes> literal = test::literalTableDecode(s, kLimit);
    ASSERT_EQ(decode(s, kLimit), literal) << round;
    agreed_successes += literal.has_value();
  }
  EXPECT_GT(agreed_successes, 50);
}

}  // namespace
}  // namespace vl
