#include "codec/block_codec.h"

#include <gtest/gtest.h>

#include <vector>

#include "codec/run_length_coder.h"
#include "codec/table_huffman_coder.h"
#include "codec/tree_huffman_coder.h"
#include "codec_test_util.h"

namespace vl {
namespace {

using test::Bytes;

using test::toBytes;

// The stream of `kind` for `in`, built stage by stage the way older writers
// produced kinds 1 to 3.
Bytes encodeAs(uint8_t kind, const Bytes& in) {
  ByteBuffer runs;
  ByteBuffer out;
  switch (kind) {
    case 0:
      return in;
    case 1:
      EXPECT_TRUE(RunLengthCoder::encode(in, &out));
      break;
    case 2:
      EXPECT_TRUE(TableHuffmanCoder::encode(in, &out));
      break;
    case 3:
      EXPECT_TRUE(RunLengthCoder::encode(in, &runs));
      EXPECT_TRUE(TableHuffmanCoder::encode(runs.span(), &out));
      break;
    default:
      EXPECT_TRUE(compressSection(in, &out));
      break;
  }
  return toBytes(out);
}

// Section coding done stage by stage: run-length, then tree coding.
ByteBuffer stageByStage(const Bytes& in) {
  ByteBuffer runs;
  ByteBuffer coded;
  EXPECT_TRUE(RunLengthCoder::encode(in, &runs));
  EXPECT_TRUE(TreeHuffmanCoder::encode(runs.span(), &coded));
  return coded;
}

std::optional<Bytes> decompressed(uint8_t kind, const Bytes& in,
                                  uint32_t limit = kMaxDecodedLength) {
  ByteBuffer out;
  if (!decompress(kind, in, &out, limit)) {
    EXPECT_TRUE(out.empty());
    return std::nullopt;
  }
  return toBytes(out);
}

TEST(BlockCodecTest, SectionCompressionIsRunLengthThenTreeCoding) {
  Bytes in = test::textLike(10000, 3);
  const ByteBuffer expected = stageByStage(in);
  ByteBuffer out;
  ASSERT_TRUE(compressSection(in, &out));
  EXPECT_EQ(out, expected);
  EXPECT_TRUE(compressSection({}, &out));
  EXPECT_TRUE(out.empty());
}

TEST(BlockCodecTest, ALimitedCompressionGivesTheSameResultOrNothing) {
  for (const Bytes& in : {test::textLike(10000, 3), test::randomBytes(10000, 4)}) {
    ByteBuffer full;
    ASSERT_TRUE(compressSection(in, &full));
    ByteBuffer below;
    ASSERT_TRUE(compressSectionBelow(in, full.size() + 1, &below));
    EXPECT_EQ(below, full);
    // Exactly as long as the limit: not shorter, so not written.
    ASSERT_TRUE(compressSectionBelow(in, full.size(), &below));
    EXPECT_TRUE(below.empty());
  }
  // Noise does not shrink: under its own length nothing comes out.
  ByteBuffer out;
  ASSERT_TRUE(compressSectionBelow(test::randomBytes(10000, 4), 10000, &out));
  EXPECT_TRUE(out.empty());
}

TEST(BlockCodecTest, ZerosCodeAsAnyOtherDataWhateverTheirLength) {
  // One thread, lengths in turn: a kept coding must never serve another length.
  for (size_t length : {size_t{2097152}, size_t{65536}, size_t{2097152}, size_t{100001}}) {
    const Bytes zeros(length, 0);
    const ByteBuffer expected = stageByStage(zeros);
    ByteBuffer out;
    ASSERT_TRUE(compressSection(zeros, &out));
    EXPECT_EQ(out, expected) << length;
    ASSERT_TRUE(compressSectionBelow(zeros, expected.size(), &out));
    EXPECT_TRUE(out.empty()) << length;
  }
}

TEST(BlockCodecTest, EveryKindRoundTripsTheCorpus) {
  const size_t kSection = 2 * 1024 * 1024;
  Bytes all_values;
  for (int i = 0; i < 256; ++i) all_values.push_back(static_cast<uint8_t>(i));
  std::vector<Bytes> inputs = {Bytes(1, 0x41), Bytes(5, 0x41), Bytes{1, 2}, all_values,
                               test::textLike(kSection, 1), test::binaryLike(kSection, 2),
                               test::randomBytes(kSection, 3), Bytes(kSection, 0),
                               test::runsOf(kSection, 4),
                               // codes far longer than the decoders' lookup
                               test::fibonacciCounts(26)};
  // Every short length, so that each way the last code can end in its byte
  // is met.
  for (size_t n = 1; n <= 64; ++n) inputs.push_back(test::textLike(n, static_cast<uint32_t>(n)));
  for (size_t run : {3, 4, 5, 258, 259, 260, 261, 518, 519}) {
    Bytes framed = {9, 8};
    framed.insert(framed.end(), run, 7);
    framed.push_back(6);
    inputs.push_back(framed);
  }
  for (uint8_t kind = 0; kind <= 4; ++kind) {
    for (const Bytes& in : inputs) {
      ASSERT_EQ(decompressed(kind, encodeAs(kind, in)), in) << int{kind} << " " << in.size();
    }
  }
}

TEST(BlockCodecTest, EmptyBodiesUnknownKindsAndLimits) {
  for (uint8_t kind = 0; kind <= 4; ++kind) EXPECT_EQ(decompressed(kind, {}), Bytes{});
  EXPECT_EQ(decompressed(5, {}), std::nullopt);
  EXPECT_EQ(decompressed(255, {1, 2, 3}), std::nullopt);
  // A failing inner stage fails the whole call.
  EXPECT_EQ(decompressed(4, {0x14, 0x0c}), std::nullopt);
  EXPECT_EQ(decompressed(3, Bytes(12, 0)), std::nullopt);
  // A tree-coded stage that decodes to the escape alone gives nothing.
  ByteBuffer lone_escape;
  ASSERT_TRUE(TreeHuffmanCoder::encode(Bytes{0xff}, &lone_escape));
  EXPECT_EQ(decompressed(4, toBytes(lone_escape)), Bytes{});
  // A run-length stage that ends inside an escape fails after a good Huffman stage.
  ByteBuffer cut_escape;
  ASSERT_TRUE(TreeHuffmanCoder::encode(Bytes{0xff, 1, 0xff}, &cut_escape));
  EXPECT_EQ(decompressed(4, toBytes(cut_escape)), std::nullopt);

  Bytes in = test::runsOf(100000, 5);
  for (uint8_t kind = 0; kind <= 4; ++kind) {
    Bytes coded = encodeAs(kind, in);
    EXPECT_EQ(decompressed(kind, coded, 100000), in) << int{kind};
    EXPECT_EQ(decompressed(kind, coded, 99999), std::nullopt) << int{kind};
  }
}

}  // namespace
}  // namespace vl
