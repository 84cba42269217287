#include "codec/tree_huffman_coder.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "codec_test_util.h"
#include "literal_decoders.h"

namespace vl {
namespace {

using test::Bytes;

Bytes encode(const Bytes& in) { return test::encodeWith<TreeHuffmanCoder::encode>(in); }

std::optional<Bytes> decode(const Bytes& in, uint32_t limit = kMaxDecodedLength) {
  return test::decodeWith<TreeHuffmanCoder::decode>(in, limit);
}

// Writes streams bit by bit, least significant bit first, for hand-made
// inputs to the decoder.
struct BitList {
  std::vector<int> bits;
  void put(uint64_t value, int count) {
    for (int k = 0; k < count; ++k) bits.push_back(static_cast<int>((value >> k) & 1));
  }
  // A caterpillar tree: `internal` internal nodes, each with leaf i on its
  // left, and the last leaf on the right of the deepest.
  void caterpillar(int internal, int last_leaf) {
    for (int i = 0; i < internal; ++i) {
      put(0, 1);
      put(1, 1);
      put(static_cast<uint64_t>(i), 8);
    }
    put(1, 1);
    put(static_cast<uint64_t>(last_leaf), 8);
  }
  Bytes bytes() const {
    Bytes out((bits.size() + 7) / 8, 0);
    for (size_t k = 0; k < bits.size(); ++k) out[k / 8] |= static_cast<uint8_t>(bits[k] << (k % 8));
    return out;
  }
};

TEST(TreeHuffmanCoderTest, ExactStreams) {
  // One value: the header (width class 0, N = 5) and a 9-bit leaf, no codes.
  EXPECT_EQ(encode(Bytes(5, 0x41)), (Bytes{0x14, 0x0c, 0x02}));
  // Two values of equal count: the higher (B) is the left child, code 0.
  EXPECT_EQ(encode({'A', 'B'}), (Bytes{0x08, 0x28, 0x34, 0x28}));
  EXPECT_EQ(decode({0x14, 0x0c, 0x02}), Bytes(5, 0x41));
  EXPECT_EQ(decode({0x08, 0x28, 0x34, 0x28}), (Bytes{'A', 'B'}));
}

TEST(TreeHuffmanCoderTest, LengthWidthClassesAtTheirLimits) {
  const std::pair<size_t, int> cases[] = {{255, 0},   {256, 1},      {65535, 1},
                                          {65536, 2}, {16777215, 2}, {16777216, 3}};
  for (auto [length, width_class] : cases) {
    Bytes in = test::runsOf(length, static_cast<uint32_t>(length));
    Bytes coded = encode(in);
    ASSERT_EQ(coded[0] & 3, width_class) << length;
    uint64_t stored = 0;
    for (int k = 0; k < 8 * (width_class + 1); ++k) {
      size_t bit = 2 + static_cast<size_t>(k);
      stored |= static_cast<uint64_t>((coded[bit / 8] >> (bit % 8)) & 1) << k;
    }
    EXPECT_EQ(stored, length);
    EXPECT_EQ(decode(coded), in) << length;
  }
}

TEST(TreeHuffmanCoderTest, DecodingRefusesBrokenStreams) {
  EXPECT_EQ(decode({}), std::nullopt);
  // Width class 3 needs five header bytes.
  EXPECT_EQ(decode({0x03, 0, 0, 0}), std::nullopt);
  // The tree runs past the end: a leaf marker with only part of its value.
  EXPECT_EQ(decode({0x14, 0x0c}), std::nullopt);
  // The padding bit of the last byte counts as a code bit: N = 3 decodes
  // it as the left leaf. Streams written that way were always read so.
  Bytes padded = encode({'A', 'B'});
  padded[0] = 0x0c;
  EXPECT_EQ(decode(padded), (Bytes{'A', 'B', 'B'}));
  // Codes run out: N = 4 needs one bit more than the stream has.
  Bytes short_codes = encode({'A', 'B'});
  short_codes[0] = 0x10;
  EXPECT_EQ(decode(short_codes), std::nullopt);
  // A single-leaf stream claiming more than the caller allows.
  EXPECT_EQ(decode({0x14, 0x0c, 0x02}, 4), std::nullopt);
  EXPECT_EQ(decode({0x14, 0x0c, 0x02}, 5), Bytes(5, 0x41));
  Bytes huge = {0xff, 0xff, 0xff, 0xff, 0xff, 0x0c, 0x02};  // N = 2^32 - 1, one leaf
  EXPECT_EQ(decode(huge), std::nullopt);

  // 257 leaves: a caterpillar of 256 internal nodes.
  BitList many;
  many.put(0, 2);
  many.put(1, 8);
  many.caterpillar(256, 0);
  many.put(0, 64);
  EXPECT_EQ(decode(many.bytes()), std::nullopt);
  // A long run of 0 bits opens internal nodes without end.
  Bytes zeros(100000, 0);
  EXPECT_EQ(decode(zeros), std::nullopt);
}

// A caterpillar tree of 256 leaves has codes of up to 255 bits, far beyond
// anything the encoder writes; the decoder must still walk them.
TEST(TreeHuffmanCoderTest, DecodesHandMadeStreamsWithTheLongestCodes) {
  BitList stream;
  const int n = 512;
  stream.put(1, 2);
  stream.put(n, 16);
  stream.caterpillar(255, 255);
  Bytes expected;
  for (int i = 0; i < n; ++i) {
    int symbol = (i * 37) % 256;
    expected.push_back(static_cast<uint8_t>(symbol));
    // Symbol s < 255 sits at depth s + 1: s right steps and one left step.
    for (int k = 0; k < symbol; ++k) stream.put(1, 1);
    if (symbol < 255) stream.put(0, 1);
  }
  EXPECT_EQ(decode(stream.bytes()), expected);
  Bytes cut = stream.bytes();
  cut.pop_back();
  EXPECT_EQ(decode(cut), std::nullopt);
}

// The table-driven decoder and a bit-by-bit walk agree on damaged streams:
// same verdict, same bytes.
TEST(TreeHuffmanCoderTest, AgreesWithBitByBitDecodingOnDamagedStreams) {
  std::vector<Bytes> seeds = {encode(test::textLike(3000, 7)),
                              encode(test::fibonacciCounts(16)),
                              encode(test::randomBytes(500, 8)),
                              encode(Bytes(40, 0x41)),
                              encode({'A', 'B'}),
                              encode(test::runsOf(2000, 9))};
  std::mt19937 rng(1234);
  constexpr uint32_t kLimit = 1 << 16;
  int agreed_successes = 0;
  for (int round = 0; round < 6000; ++round) {
    Bytes stream = seeds[round % seeds.size()];
    switch (rng() % 4) {
      case 0:  // flip a few bits
        for (int k = 1 + static_cast<int>(rng() % 3); k > 0; --k)
          stream[rng() % stream.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
        break;
      case 1:  // cut
        stream.resize(rng() % stream.size());
        break;
      case 2:  // change the stated length
        stream[rng() % std::min<size_t>(stream.size(), 3)] = static_cast<uint8_t>(rng());
        break;
      default:  // overwrite a stretch
        for (size_t at = rng() % stream.size(), k = 0; k < 6 && at + k < stream.size(); ++k)
          stream[at + k] = static_cast<uint8_t>(rng());
        break;
    }
    std::optional<Bytes> literal = test::literalTreeDecode(stream, kLimit);
    ASSERT_EQ(decode(stream, kLimit), literal) << round;
    agreed_successes += literal.has_value();
  }
  EXPECT_GT(agreed_successes, 100);
}

}  // namespace
}  // namespace vl
