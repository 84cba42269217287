// Chunk framing on arbitrary bytes: the classifier, the field reader, the MAC
// check, the decryption and the sequence rule, as a peer's bytes reach them.
//
// The first byte steers. Bit 0: give the chunk its correct MAC (a forged one
// almost never passes, so without this nothing behind the check is reached).
// Bit 1: decrypt. Bit 2: write the true length into the header. Bit 3: wrap
// the rest as the payload of a well-formed chunk instead of taking it as a
// whole chunk. Bits 4 to 7 pick the type to open it as. Plain bytes that are
// built into a chunk must come back out unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/byte_buffer.h"
#include "crypto/random_pool.h"
#include "net/chunk_framing.h"
#include "net/chunk_header.h"

namespace {

using vl::ByteBuffer;
using vl::ChunkType;
using vl::OpenStatus;

constexpr ChunkType kAuthenticated[] = {
    ChunkType::kStartupResponse,  ChunkType::kFileData,
    ChunkType::kFileDataResponse, ChunkType::kFileDataRequest,
    ChunkType::kFileDataRequestResponse, ChunkType::kFileList,
    ChunkType::kFileListResponse, ChunkType::kFileListRequest,
    ChunkType::kFileListRequestResponse, ChunkType::kAccountSetupResponse,
    ChunkType::kArchive,          ChunkType::kArchiveResponse,
    ChunkType::kRecover,          ChunkType::kRecoverResponse};

struct Peer {
  vl::RandomPool pool;
  vl::ExchangeKeys keys{&pool};
  Peer() {
    const uint8_t seed[32] = {1, 2, 3, 4, 5, 6, 7, 8};
    pool.addBytes(seed, true);
    uint8_t secret[32];
    uint8_t dh[32];
    for (int i = 0; i < 32; ++i) secret[i] = static_cast<uint8_t>(i * 7), dh[i] = static_cast<uint8_t>(~i);
    if (!keys.derive(secret) || !keys.establish(dh)) std::abort();
  }
};

void check(bool condition) {
  if (!condition) std::abort();
}

void checkScan(const ByteBuffer& chunk) {
  const vl::ChunkScan scan = vl::classifyChunk(chunk.span());
  if (scan.status == vl::ChunkStatus::kComplete) {
    check(scan.length == chunk.size() && chunk.size() >= vl::kChunkHeaderSize);
    check(std::memcmp(chunk.data(), "CHK", 4) == 0);
  } else {
    check(!vl::chunkTypeOf(chunk.span()));
  }
  if (scan.status == vl::ChunkStatus::kTooLarge) check(scan.length > vl::kMaxChunkLength);
}

// Overwrites the MAC field of a chunk whose fields read with the right MAC.
void fixMac(ByteBuffer& chunk, ChunkType type, const vl::ExchangeKeys& keys) {
  vl::ChunkFields fields;
  if (!vl::readFields(chunk.span(), &fields)) return;
  check(fields.mac.size() == vl::kChunkMacSize);
  ByteBuffer mac = vl::chunkMac(keys, type, fields.payload);
  check(mac.size() == vl::kChunkMacSize);
  std::memcpy(chunk.data() + (fields.mac.data() - chunk.data()), mac.data(), mac.size());
}

void open(const ByteBuffer& chunk, ChunkType type, bool decrypt, const vl::ExchangeKeys& keys) {
  ByteBuffer plaintext;
  const OpenStatus status = vl::verifyAndOpen(chunk, type, decrypt, keys, &plaintext);
  vl::ChunkFields fields;
  if (status == OpenStatus::kOpened) {
    check(vl::readFields(chunk.span(), &fields));
    check(decrypt ? plaintext.size() + vl::kChunkIvSize <= fields.payload.size()
                  : plaintext.size() == fields.payload.size());
  } else {
    check(plaintext.empty());
  }
  vl::ChunkSequence sequence;
  vl::OpenedChunk opened;
  const OpenStatus answer = vl::openAnswer(chunk, type, decrypt, keys, sequence, &opened);
  check(answer == OpenStatus::kOpened ? opened.number == 0 : opened.plaintext.empty());
  const OpenStatus request = vl::openRequest(chunk, type, decrypt, keys, sequence, &opened);
  check((request == OpenStatus::kOpened) == (sequence.last() == 1));
  if (request == OpenStatus::kOpened) {
    check(opened.number == 1);
    // The same chunk again is a replay.
    check(vl::openRequest(chunk, type, decrypt, keys, sequence, &opened) ==
          OpenStatus::kOutOfSequence);
  }
}

// Plain bytes built into a chunk come back out unchanged.
void roundTrip(const uint8_t* data, size_t size, ChunkType type, bool encrypt,
               const vl::ExchangeKeys& keys) {
  ByteBuffer chunk = vl::buildChunk(type, ByteBuffer(data, size), encrypt, keys);
  check(vl::isCompleteChunk(chunk.span()) && vl::chunkTypeOf(chunk.span()) == type);
  ByteBuffer plaintext;
  check(vl::verifyAndOpen(chunk, type, encrypt, keys, &plaintext) == OpenStatus::kOpened);
  check(plaintext.size() == size && (size == 0 || std::memcmp(plaintext.data(), data, size) == 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Peer peer;
  if (size == 0) return 0;
  const uint8_t steer = data[0];
  const bool withMac = steer & 1;
  const bool decrypt = steer & 2;
  const ChunkType type = kAuthenticated[(steer >> 4) % std::size(kAuthenticated)];
  ++data;
  --size;

  ByteBuffer chunk;
  if (steer & 8) {
    vl::appendChunkHeader(chunk, type);
    chunk.appendCounted(data, size);
    chunk.appendCounted(ByteBuffer(vl::kChunkMacSize));
  } else {
    chunk = ByteBuffer(data, size);
  }
  if (steer & 4) vl::updateChunkLength(chunk);
  checkScan(chunk);
  if (withMac) fixMac(chunk, type, peer.keys);
  open(chunk, type, decrypt, peer.keys);
  if (steer & 8) roundTrip(data, size, type, decrypt, peer.keys);
  return 0;
}
