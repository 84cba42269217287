#include "codec/run_length_coder.h"

#include <gtest/gtest.h>

#include <vector>

#include "codec_test_util.h"

namespace vl {
namespace {

using test::Bytes;

Bytes encode(const Bytes& in) { return test::encodeWith<RunLengthCoder::encode>(in); }

std::optional<Bytes> decode(const Bytes& in, uint32_t limit = kMaxDecodedLength) {
  return test::decodeWith<RunLengthCoder::decode>(in, limit);
}

// Input bytes 0x00 to 0xfd, so the escape is 0xff and the output easy to read.
Bytes withAllButTopTwo() {
  Bytes out;
  for (int v = 0; v < 0xfe; ++v) out.push_back(static_cast<uint8_t>(v));
  return out;
}

TEST(RunLengthCoderTest, ExactStreams) {
  EXPECT_EQ(encode(Bytes(5, 0x41)), (Bytes{0xff, 0xff, 0x41, 0x01}));
  // The escape is the rarest value, the highest among equals: 0xfe and 0xff
  // are absent here, so 0xff.
  EXPECT_EQ(encode(withAllButTopTwo())[0], 0xff);
  // When every value occurs, the rarest one wins even if it is low.
  Bytes all;
  for (int v = 0; v < 256; ++v) all.insert(all.end(), v == 0x10 ? 1 : 2, static_cast<uint8_t>(v));
  EXPECT_EQ(encode(all)[0], 0x10);
  // The empty input is the escape byte alone.
  EXPECT_EQ(encode({}), (Bytes{0xff}));
  // One occurrence of the escape value is written doubled.
  Bytes escape_present;
  for (int v = 0; v < 256; ++v)
    escape_present.insert(escape_present.end(), v == 0x80 ? 1 : 2, static_cast<uint8_t>(v));
  Bytes coded = encode(escape_present);
  ASSERT_EQ(coded[0], 0x80);
  EXPECT_EQ(coded.size(), 1 + escape_present.size() + 1);
  EXPECT_EQ(coded[1 + 2 * 0x80], 0x80);
  EXPECT_EQ(coded[2 + 2 * 0x80], 0x80);
}

TEST(RunLengthCoderTest, RunLengthsAroundTheLimits) {
  auto runOf = [](size_t length) { return encode(Bytes(length, 0x41)); };
  EXPECT_EQ(runOf(1), (Bytes{0xff, 0x41}));
  EXPECT_EQ(runOf(3), (Bytes{0xff, 0x41, 0x41, 0x41}));
  EXPECT_EQ(runOf(4), (Bytes{0xff, 0xff, 0x41, 0x00}));
  EXPECT_EQ(runOf(259), (Bytes{0xff, 0xff, 0x41, 0xff}));
  EXPECT_EQ(runOf(260), (Bytes{0xff, 0xff, 0x41, 0xff, 0x41}));
  EXPECT_EQ(runOf(262), (Bytes{0xff, 0xff, 0x41, 0xff, 0x41, 0x41, 0x41}));
  EXPECT_EQ(runOf(263), (Bytes{0xff, 0xff, 0x41, 0xff, 0xff, 0x41, 0x00}));
  EXPECT_EQ(runOf(518), (Bytes{0xff, 0xff, 0x41, 0xff, 0xff, 0x41, 0xff}));
  // A run that begins after a literal and ends just before another.
  EXPECT_EQ(encode({7, 5, 5, 5, 5, 5, 7}), (Bytes{0xff, 7, 0xff, 5, 1, 7}));
  // Runs of the escape value itself are never run-coded.
  Bytes escapes(4, 0x80);
  for (int v = 0; v < 256; ++v) {
    if (v != 0x80) escapes.insert(escapes.end(), 5, static_cast<uint8_t>(v));
  }
  Bytes coded = encode(escapes);
  ASSERT_EQ(coded[0], 0x80);
  EXPECT_EQ(Bytes(coded.begin() + 1, coded.begin() + 9), Bytes(8, 0x80));
}

TEST(RunLengthCoderTest, TwoMebibytesOfZeros) {
  Bytes zeros(2 * 1024 * 1024, 0);
  Bytes coded = encode(zeros);
  // 8097 runs of 259 and one of 29: the escape and 8098 triples.
  EXPECT_EQ(coded.size(), 24295u);
  EXPECT_EQ(coded[0], 0xff);
  EXPECT_EQ(decode(coded), zeros);
}

TEST(RunLengthCoderTest, RoundTripsEveryRunLengthNearTheBoundaries) {
  for (size_t length = 1; length <= 1040; ++length) {
    if (length > 12 && (length < 250 || length > 270) && (length < 510 || length > 530) &&
        length < 1030) {
      continue;
    }
    for (uint8_t filler : {uint8_t{0}, uint8_t{0x41}, uint8_t{0xff}}) {
      // The run alone, and framed by other bytes at different alignments so
      // that the word-at-a-time scan meets it everywhere.
      Bytes alone(length, filler);
      ASSERT_EQ(decode(encode(alone)), alone) << length;
      for (size_t lead = 0; lead < 9; lead += 4) {
        Bytes framed = test::randomBytes(lead, static_cast<uint32_t>(length));
        framed.insert(framed.end(), length, filler);
        framed.push_back(static_cast<uint8_t>(filler + 1));
        framed.insert(framed.end(), 3, filler);
        ASSERT_EQ(decode(encode(framed)), framed) << length << " " << lead;
      }
    }
  }
}

TEST(RunLengthCoderTest, RoundTripsTypicalShapesAndStaysWithinItsBound) {
  std::vector<Bytes> inputs = {test::textLike(100000, 1),
                               test::binaryLike(100000, 2),
                               test::randomBytes(100000, 3),
                               test::runsOf(100000, 4),
                               Bytes(1, 0xff),
                               Bytes(1, 0),
                               withAllButTopTwo()};
  // Every value occurring equally often: the escape (0xff) appears n/256 times.
  Bytes all;
  for (int i = 0; i < 256 * 40; ++i) all.push_back(static_cast<uint8_t>(i));
  inputs.push_back(all);
  for (const Bytes& in : inputs) {
    Bytes coded = encode(in);
    EXPECT_LE(coded.size(), 1 + in.size() + in.size() / 256);
    EXPECT_EQ(decode(coded), in);
  }
  EXPECT_EQ(encode(all).size(), 1 + all.size() + all.size() / 256);
}

TEST(RunLengthCoderTest, DecodingFailsOnCutEscapesAndRefusesOversizedResults) {
  EXPECT_EQ(decode({0xff}), Bytes{});
  EXPECT_EQ(decode({}), std::nullopt);
  EXPECT_EQ(decode({0xff, 1, 2, 0xff}), std::nullopt);        // lone escape at the end
  EXPECT_EQ(decode({0xff, 1, 2, 0xff, 0x41}), std::nullopt);  // escape, byte, no count
  EXPECT_EQ(decode({0xff, 0xff, 0xff}), (Bytes{0xff}));
  EXPECT_EQ(decode({0x00, 0x00, 0x07, 0x00}), Bytes(4, 0x07));
  // A count byte equal to the escape is a count, not a new escape.
  EXPECT_EQ(decode({0x05, 0x05, 0x41, 0x05, 0x05, 0x05}), []() {
    Bytes expected(9, 0x41);
    expected.push_back(0x05);
    return expected;
  }());
  // Three bytes claim 259; the limit is checked before anything is allocated.
  EXPECT_EQ(decode({0x00, 0x00, 0x41, 0xff}, 258), std::nullopt);
  EXPECT_EQ(decode({0x00, 0x00, 0x41, 0xff}, 259), Bytes(259, 0x41));
}

}  // namespace
}  // namespace vl
