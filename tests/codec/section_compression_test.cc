// Section compression counts the run-length stream as it writes it and keeps
// its working memory between calls; neither may change a single output bit.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "codec/block_codec.h"
#include "codec/byte_histogram.h"
#include "codec/run_length_coder.h"
#include "codec/tree_huffman_coder.h"
#include "codec_test_util.h"
#include "sample_data.h"

namespace vl {
namespace {

using test::Bytes;

// Inputs whose streams exercise every way the counts change: literals,
// escapes (alone and in runs, which are never run-coded), runs of 4 to 259
// and longer ones cut into pieces, runs ending at the very end.
std::vector<Bytes> corpus() {
  std::vector<Bytes> inputs = {test::textLike(70000, 1), test::binaryLike(50000, 2),
                               test::runsOf(90000, 3), test::randomBytes(30000, 4), Bytes{7}};
  Bytes edges;
  for (size_t run : {1, 3, 4, 5, 258, 259, 260, 1000}) {
    edges.insert(edges.end(), run, static_cast<uint8_t>(run));
    edges.push_back(0x5a);
  }
  inputs.push_back(edges);
  // Every value occurs, so the escape (the rarest, 0xff here) is frequent too.
  Bytes escapes;
  for (int i = 0; i < 4000; ++i) escapes.push_back(static_cast<uint8_t>(i % 255));
  escapes.insert(escapes.end(), 9, 0xff);
  escapes.insert(escapes.end(), 300, 0x11);
  inputs.push_back(escapes);
  return inputs;
}

TEST(SectionCompressionTest, CountsOfTheRunLengthStreamAreExact) {
  ByteBuffer kept;  // reused from input to input, as a compressing thread does
  for (const Bytes& in : corpus()) {
    ByteCounts counts;
    ASSERT_TRUE(RunLengthCoder::encodeCounting(in, &kept, &counts));
    ByteBuffer fresh;
    ASSERT_TRUE(RunLengthCoder::encode(in, &fresh));
    EXPECT_EQ(kept, fresh);
    EXPECT_EQ(counts, countBytes(fresh.span()));
  }
}

TEST(SectionCompressionTest, OutputIsTheStagesAppliedOneAfterTheOther) {
  auto expected = [](const Bytes& in) {
    ByteBuffer runs;
    ByteBuffer out;
    EXPECT_TRUE(RunLengthCoder::encode(in, &runs));
    EXPECT_TRUE(TreeHuffmanCoder::encode(runs.span(), &out));
    return out;
  };
  // Large input after small and small after large, on two threads at once.
  std::vector<Bytes> inputs = corpus();
  inputs.push_back(test::runsOf(2 * 1024 * 1024, 5));
  inputs.push_back(test::textLike(100, 6));
  auto check = [&] {
    for (const Bytes& in : inputs) {
      ByteBuffer out;
      ASSERT_TRUE(compressSection(in, &out));
      EXPECT_EQ(out, expected(in));
    }
  };
  std::thread other(check);
  check();
  other.join();
}

}  // namespace
}  // namespace vl
