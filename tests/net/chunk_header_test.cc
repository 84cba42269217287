#include "net/chunk_header.h"

#include <gtest/gtest.h>

#include <vector>

namespace vl {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes header(uint32_t declared, uint16_t type = 8) {
  Bytes bytes = {'C', 'H', 'K', 0};
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(declared >> (8 * i)));
  bytes.insert(bytes.end(), {static_cast<uint8_t>(type), static_cast<uint8_t>(type >> 8), 0, 0, 1, 0});
  return bytes;
}

ChunkStatus statusOf(const Bytes& bytes) { return classifyChunk(bytes).status; }

TEST(ChunkHeaderTest, NoPrefixOfAHeaderIsCompleteAndAHeaderOfLengthFourteenIs) {
  const Bytes whole = header(14);
  for (size_t size = 0; size < whole.size(); ++size) {
    EXPECT_EQ(statusOf(Bytes(whole.begin(), whole.begin() + size)), ChunkStatus::kNeedMore)
        << size << " bytes";
  }
  const ChunkScan scan = classifyChunk(whole);
  EXPECT_EQ(scan.status, ChunkStatus::kComplete);
  EXPECT_EQ(scan.length, 14u);
  EXPECT_EQ(chunkTypeOf(whole), ChunkType::kFileListRequest);
}

TEST(ChunkHeaderTest, ByteThreeOtherThanZeroIsNeverComplete) {
  for (uint8_t third : {1, 0x80, 0xff}) {
    Bytes bytes = header(14);
    bytes[3] = third;
    EXPECT_EQ(statusOf(bytes), ChunkStatus::kMalformed);
    EXPECT_EQ(statusOf(Bytes(bytes.begin(), bytes.begin() + 4)), ChunkStatus::kMalformed);
    EXPECT_FALSE(chunkTypeOf(bytes));
  }
}

// A wrong letter is seen from the first byte that shows it, so the transport
// need not wait for three bytes of a stream that is not ours.
TEST(ChunkHeaderTest, ForeignBytesAreMalformedAsSoonAsTheyDiffer) {
  EXPECT_EQ(statusOf({'G'}), ChunkStatus::kMalformed);
  EXPECT_EQ(statusOf({'C', 'h'}), ChunkStatus::kMalformed);
  EXPECT_EQ(statusOf({'C', 'H', 'X', 0}), ChunkStatus::kMalformed);
  EXPECT_EQ(statusOf({'C', 'H'}), ChunkStatus::kNeedMore);
}

// The limit is judged from the eight bytes that declare the length, before
// any of the body: a header alone can never make the receiver hold 4 GiB.
TEST(ChunkHeaderTest, DeclaredLengthsAreJudgedFromTheHeaderAlone) {
  Bytes eight = header(kMaxChunkLength + 1);
  eight.resize(8);
  EXPECT_EQ(statusOf(eight), ChunkStatus::kTooLarge);
  eight = header(0xffffffffu);
  eight.resize(8);
  EXPECT_EQ(statusOf(eight), ChunkStatus::kTooLarge);
  eight = header(kMaxChunkLength);
  eight.resize(8);
  EXPECT_EQ(statusOf(eight), ChunkStatus::kNeedMore);
  EXPECT_EQ(classifyChunk(eight).length, kMaxChunkLength);

  // A length below the header's own is refused as soon as it is seen.
  for (uint32_t tooShort : {0u, 1u, 8u, 13u}) {
    Bytes declared = header(tooShort);
    declared.resize(8);
    EXPECT_EQ(statusOf(declared), ChunkStatus::kMalformed) << tooShort;
  }
}

TEST(ChunkHeaderTest, AChunkIsCompleteOnlyAtExactlyItsDeclaredLength) {
  Bytes bytes = header(20);
  bytes.resize(19);
  EXPECT_EQ(statusOf(bytes), ChunkStatus::kNeedMore);
  bytes.resize(20);
  EXPECT_EQ(statusOf(bytes), ChunkStatus::kComplete);
  EXPECT_EQ(classifyChunk(bytes).length, 20u);
  // Nothing follows a chunk until it is answered, so more is never a chunk.
  bytes.resize(21);
  EXPECT_EQ(statusOf(bytes), ChunkStatus::kMalformed);
  EXPECT_FALSE(chunkTypeOf(bytes));
}

TEST(ChunkHeaderTest, TypeNumbersFollowTheCatalogueAndUnknownOnesHaveNoType) {
  const ChunkType requests[] = {ChunkType::kExchangeStart, ChunkType::kFileData,
                                ChunkType::kFileDataRequest, ChunkType::kFileList,
                                ChunkType::kFileListRequest, ChunkType::kAccountSetupRequest,
                                ChunkType::kArchive, ChunkType::kRecover};
  const uint16_t numbers[] = {0, 2, 4, 6, 8, 10, 14, 16};
  for (size_t i = 0; i < std::size(requests); ++i) {
    EXPECT_EQ(wireChunkType(requests[i]), numbers[i]);
    // Each answer is the request's number plus one.
    std::optional<ChunkType> answer = chunkTypeFromWire(numbers[i] + 1);
    ASSERT_TRUE(answer);
    EXPECT_EQ(chunkTypeFromWire(wireChunkType(*answer)), answer);
    EXPECT_TRUE(isAuthenticated(*answer));
  }
  EXPECT_FALSE(isAuthenticated(ChunkType::kExchangeStart));
  EXPECT_FALSE(isAuthenticated(ChunkType::kAccountSetupRequest));
  EXPECT_TRUE(isAuthenticated(ChunkType::kFileData));
  for (uint16_t unknown : {12, 13, 18, 0xffff}) {
    EXPECT_FALSE(chunkTypeFromWire(unknown)) << unknown;
    EXPECT_FALSE(chunkTypeOf(header(14, unknown))) << unknown;
  }
  EXPECT_EQ(chunkLabel(ChunkType::kFileListRequest), "FileListRequestChunk: ");
  EXPECT_EQ(chunkLabel(ChunkType::kStartupResponse), "StartupResponseChunk: ");
  EXPECT_EQ(chunkLabel(ChunkType::kFileDataRequestResponse), "FileDataRequestResponseChunk: ");
  EXPECT_EQ(chunkLabel(ChunkType::kAccountSetupResponse), "AccountSetupResponseChunk: ");
}

TEST(ChunkHeaderTest, AWrittenHeaderHasTheLayoutAndLengthThatTheReceiverChecks) {
  ByteBuffer chunk;
  appendChunkHeader(chunk, ChunkType::kRecoverResponse);
  EXPECT_EQ(Bytes(chunk.data(), chunk.data() + chunk.size()), header(14, 17));
  chunk.appendU32(0xdeadbeef);
  updateChunkLength(chunk);
  EXPECT_EQ(classifyChunk(chunk.span()).status, ChunkStatus::kComplete);
  EXPECT_EQ(chunkTypeOf(chunk.span()), ChunkType::kRecoverResponse);
}

}  // namespace
}  // namespace vl
