#include "net/chunk_receiver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/net/transport_test_util.h"

namespace vl {
namespace {

using test::FakeSystem;
using test::makeChunk;
using test::ScriptedPeer;

void pause(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

// Connects to the peer and receives one chunk with `timings` and `system`.
class ReceiveFixture : public ::testing::Test {
 protected:
  void connectTo(const ScriptedPeer& peer) {
    ASSERT_TRUE(peer.listening());
    ASSERT_TRUE(socket_.open(IpAddress::Family::kV4));
    ASSERT_TRUE(socket_.connect(test::kLoopbackV4, peer.port()));
  }
  ReceiveResult receive(bool longWait = false) {
    return receiveChunk(socket_, assembler_, longWait, timings_, system_);
  }

  TcpSocket socket_;
  ChunkAssembler assembler_;
  TransportTimings timings_;
  FakeSystem system_;
};

TEST_F(ReceiveFixture, AChunkSentInPiecesIsGatheredWhole) {
  ByteBuffer chunk = makeChunk(ChunkType::kFileDataResponse, 600000, 7);
  ScriptedPeer peer(1, [&](int, TcpSocket& socket) {
    // A piece of the header, the rest of it with the body's start, then the
    // body in uneven pieces.
    std::span<const uint8_t> bytes = chunk.span();
    const size_t cuts[] = {1, 12, 5000, 300000};
    for (size_t cut : cuts) {
      ASSERT_TRUE(test::sendBytes(socket, bytes.first(cut)));
      bytes = bytes.subspan(cut);
      pause(5);
    }
    ASSERT_TRUE(test::sendBytes(socket, bytes));
  });
  connectTo(peer);
  ReceiveResult result = receive();
  ASSERT_EQ(result.status, ReceiveStatus::kComplete);
  EXPECT_EQ(assembler_.take(), chunk);
}

TEST_F(ReceiveFixture, TwoChunksSentTogetherAreReceivedOneAtATime) {
  ByteBuffer first = makeChunk(ChunkType::kStartupResponse, 40, 1);
  ByteBuffer second = makeChunk(ChunkType::kFileListResponse, 300000, 2);
  ScriptedPeer peer(1, [&](int, TcpSocket& socket) {
    ByteBuffer both = first;
    both.appendBytes(second);
    ASSERT_TRUE(test::sendBytes(socket, both.span()));
  });
  connectTo(peer);
  ASSERT_EQ(receive().status, ReceiveStatus::kComplete);
  EXPECT_EQ(assembler_.take(), first);
  ASSERT_EQ(receive().status, ReceiveStatus::kComplete);
  EXPECT_EQ(assembler_.take(), second);
}

TEST_F(ReceiveFixture, AHeaderDeclaringMoreThanTheLimitIsRefusedFromTheHeaderAlone) {
  ScriptedPeer peer(1, [&](int, TcpSocket& socket) {
    ByteBuffer header = makeChunk(ChunkType::kFileDataResponse, 0);
    header[4] = 0x01;  // 104 857 601 bytes: one more than allowed
    header[5] = 0x00;
    header[6] = 0x40;
    header[7] = 0x06;
    ASSERT_TRUE(test::sendBytes(socket, header.span()));
    ByteBuffer body(1000);
    ASSERT_TRUE(test::sendBytes(socket, body.span()));
    pause(200);
  });
  connectTo(peer);
  ReceiveResult result = receive();
  EXPECT_EQ(result.status, ReceiveStatus::kNotAChunk);
  EXPECT_EQ(result.kind, kGeneralTransferError);
  // Not a byte past the header was read, nor room made for the body.
  EXPECT_EQ(assembler_.size(), kChunkHeaderSize);
  EXPECT_EQ(assembler_.wanted(), 0u);
}

TEST_F(ReceiveFixture, BytesThatDoNotBeginWithChkAreNotAChunk) {
  ScriptedPeer peer(1, [&](int, TcpSocket& socket) {
    const uint8_t http[] = {'H', 'T', 'T', 'P', '/', '1', '.', '1', ' ', '4', '0', '0', ' ', 'B', 'a', 'd'};
    ASSERT_TRUE(test::sendBytes(socket, http));
    pause(200);
  });
  connectTo(peer);
  ReceiveResult result = receive();
  EXPECT_EQ(result.status, ReceiveStatus::kNotAChunk);
  EXPECT_EQ(result.kind, kGeneralTransferError);
  EXPECT_EQ(result.code, 0u);
}

TEST_F(ReceiveFixture, APeerClosingInsideAChunkIsADroppedConnection) {
  ScriptedPeer peer(1, [&](int, TcpSocket& socket) {
    ByteBuffer chunk = makeChunk(ChunkType::kFileDataResponse, 100);
    ASSERT_TRUE(test::sendBytes(socket, chunk.span().first(40)));
  });
  connectTo(peer);
  ReceiveResult result = receive();
  EXPECT_EQ(result.status, ReceiveStatus::kConnectionLost);
  EXPECT_EQ(result.kind, TransferErrorKind::kConnectionDropped);
  EXPECT_EQ(result.code, 0u);
}

// The clock moves 30 s each time it is read: at the start, then once per
// empty wait slice. Exactly the limit is still allowed; 30 s more is not.
TEST_F(ReceiveFixture, ASilentServerRunsIntoThe90SecondAndOnRequestThe600SecondLimit) {
  ScriptedPeer peer(1, [&](int, TcpSocket& socket) { test::readChunk(socket); });
  timings_.waitSliceMs = 5;
  system_.step = 30;
  connectTo(peer);
  ReceiveResult result = receive();
  EXPECT_EQ(result.status, ReceiveStatus::kConnectionLost);
  EXPECT_EQ(result.kind, TransferErrorKind::kLostConnection);
  EXPECT_EQ(result.code, 0u);
  EXPECT_EQ(system_.clockReads, 1 + 4);  // 120 s > 90 s

  system_.clockReads = 0;
  result = receive(/*longWait=*/true);
  EXPECT_EQ(result.kind, TransferErrorKind::kLostConnection);
  EXPECT_EQ(system_.clockReads, 1 + 21);  // 630 s > 600 s
  ASSERT_TRUE(test::sendBytes(socket_, makeChunk(ChunkType::kFileData, 0).span()));
  socket_.close();
}

TEST_F(ReceiveFixture, EveryReadStartsTheIdleLimitAfresh) {
  // Pieces 120 ms apart with 50 ms slices: about two empty slices (62 s) in
  // each gap, more than 150 s of silence only if reads did not count.
  ByteBuffer chunk = makeChunk(ChunkType::kFileListResponse, 20);
  ScriptedPeer peer(1, [&](int, TcpSocket& socket) {
    for (uint32_t i = 0; i < chunk.size(); i += 4) {
      pause(120);
      ASSERT_TRUE(test::sendBytes(socket, chunk.span().subspan(i, std::min<uint32_t>(4, chunk.size() - i))));
    }
  });
  timings_.waitSliceMs = 50;
  timings_.idleLimitS = 150;
  system_.step = 30;
  connectTo(peer);
  ReceiveResult result = receive();
  ASSERT_EQ(result.status, ReceiveStatus::kComplete);
  EXPECT_EQ(assembler_.take(), chunk);
}

TEST(ChunkAssemblerTest, ReadsStopAtTheHeaderThenAtTheDeclaredEndInPiecesOf256KiB) {
  ChunkAssembler assembler;
  EXPECT_EQ(assembler.wanted(), kChunkHeaderSize);
  ByteBuffer header = makeChunk(ChunkType::kFileData, 0);
  // The largest chunk allowed: 100 MiB declared, nothing of it held yet.
  header[4] = 0x00;
  header[5] = 0x00;
  header[6] = 0x40;
  header[7] = 0x06;
  EXPECT_EQ(assembler.add(header.span().first(5)), ChunkStatus::kNeedMore);
  EXPECT_EQ(assembler.wanted(), kChunkHeaderSize - 5);
  EXPECT_EQ(assembler.add(header.span().subspan(5)), ChunkStatus::kNeedMore);
  EXPECT_EQ(assembler.wanted(), ChunkAssembler::kReadPiece);

  // A read that fills less than its room keeps only what came.
  std::span<uint8_t> room = assembler.prepare(assembler.wanted());
  room[0] = 0xaa;
  EXPECT_EQ(assembler.commit(1), ChunkStatus::kNeedMore);
  EXPECT_EQ(assembler.size(), kChunkHeaderSize + 1);

  // Near the end only the missing bytes are asked for.
  ChunkAssembler small;
  ByteBuffer chunk = makeChunk(ChunkType::kFileData, 10);
  EXPECT_EQ(small.add(chunk.span().first(20)), ChunkStatus::kNeedMore);
  EXPECT_EQ(small.wanted(), 4u);
  EXPECT_EQ(small.add(chunk.span().subspan(20)), ChunkStatus::kComplete);
  EXPECT_EQ(small.wanted(), 0u);
  EXPECT_EQ(small.take(), chunk);
  EXPECT_EQ(small.size(), 0u);
  EXPECT_EQ(small.status(), ChunkStatus::kNeedMore);
}

}  // namespace
}  // namespace vl
