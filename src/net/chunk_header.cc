#include "net/chunk_header.h"

#include "core/strict_reader.h"

namespace vl {
namespace {

constexpr uint8_t kMagic[3] = {'C', 'H', 'K'};
constexpr size_t kLengthOffset = 4;
constexpr size_t kTypeOffset = 8;

}  // namespace

ChunkScan classifyChunk(std::span<const uint8_t> received) {
  ChunkScan scan;
  for (size_t i = 0; i < sizeof kMagic && i < received.size(); ++i) {
    if (received[i] != kMagic[i]) return {ChunkStatus::kMalformed, 0};
  }
  if (received.size() > 3 && received[3] != 0) return {ChunkStatus::kMalformed, 0};
  StrictReader header(received);
  uint32_t declared = 0;
  if (!header.skip(kLengthOffset) || !header.readU32(&declared)) return scan;
  scan.length = declared;
  if (declared < kChunkHeaderSize) scan.status = ChunkStatus::kMalformed;
  else if (declared > kMaxChunkLength) scan.status = ChunkStatus::kTooLarge;
  else if (received.size() < declared) scan.status = ChunkStatus::kNeedMore;
  else if (received.size() > declared) scan.status = ChunkStatus::kMalformed;
  else scan.status = ChunkStatus::kComplete;
  return scan;
}

std::optional<ChunkType> chunkTypeOf(std::span<const uint8_t> chunk) {
  if (!isCompleteChunk(chunk)) return std::nullopt;
  StrictReader header(chunk);
  uint16_t wire = 0;
  if (!header.skip(kTypeOffset) || !header.readU16(&wire)) return std::nullopt;
  return chunkTypeFromWire(wire);
}

void appendChunkHeader(ByteBuffer& chunk, ChunkType type) {
  chunk.appendBytes(kMagic, sizeof kMagic);
  chunk.appendU8(0);
  chunk.appendU32(kChunkHeaderSize);
  chunk.appendU16(wireChunkType(type));
  chunk.appendU16(0);
  chunk.appendU16(1);
}

void updateChunkLength(ByteBuffer& chunk) {
  if (chunk.size() < kChunkHeaderSize) return;
  const uint32_t length = chunk.size();
  for (size_t i = 0; i < 4; ++i) chunk[kLengthOffset + i] = static_cast<uint8_t>(length >> (8 * i));
}

}  // namespace vl
