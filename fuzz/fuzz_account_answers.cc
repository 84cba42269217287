// The client's readers of the account setup answer and of the recover
// answer on arbitrary bytes.
//
// The first byte steers. Bit 0: a recover answer instead of a setup answer.
// Bit 1 wraps the rest as the answer's payload (for the recover answer: its
// plaintext, encrypted) with the right MAC, so that the readers behind the
// MAC are reached; otherwise the rest is the whole chunk. Bit 2 puts the
// expected sequence number in front of a wrapped recover plaintext.
//
// Whatever the bytes, an answer is taken only when it reads whole: a created
// account has a non-zero number and the echo of the key sent; figures come
// only from a MAC'd, decrypted answer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "answer_world.h"
#include "core/byte_buffer.h"
#include "crypto/random_pool.h"
#include "net/chunk_framing.h"
#include "net/chunk_header.h"
#include "net/recover_act.h"
#include "net/setup_act.h"

namespace {

using vl::ByteBuffer;

using vl::fuzz::check;

struct World : vl::fuzz::AnswerWorld {
  ByteBuffer signingPublicKey{std::vector<uint8_t>(256, 0xa5)};
};

ByteBuffer macWrapped(vl::ChunkType type, const uint8_t* data, size_t size, const World& world) {
  ByteBuffer chunk;
  vl::appendChunkHeader(chunk, type);
  chunk.appendCounted(data, size);
  chunk.appendCounted(vl::chunkMac(world.keys, type, std::span<const uint8_t>(data, size)));
  vl::updateChunkLength(chunk);
  return chunk;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static World world;
  if (size == 0 || size > 65536) return 0;
  const uint8_t steer = data[0];
  ++data;
  --size;

  if ((steer & 1) == 0) {
    const ByteBuffer chunk = (steer & 2) != 0
                                 ? macWrapped(vl::ChunkType::kAccountSetupResponse, data, size, world)
                                 : ByteBuffer(data, size);
    const vl::SetupAnswer answer =
        vl::readSetupAnswer(chunk, world.keys, world.signingPublicKey.span());
    if (answer.created) {
      check(answer.account != 0);
      check(chunk.size() >= vl::kChunkHeaderSize + 4 + 2 + 4 + 4 + 256 + 4 + 4 + 32);
    } else {
      check(!answer.message.english.empty() && !answer.message.swedish.empty());
    }
    return 0;
  }

  ByteBuffer chunk;
  if ((steer & 2) != 0) {
    ByteBuffer plaintext;
    if ((steer & 4) != 0) plaintext.appendU32(world.sequence.last());
    plaintext.appendBytes(data, size);
    chunk = vl::buildChunk(vl::ChunkType::kRecoverResponse, std::move(plaintext), true, world.keys);
  } else {
    chunk = ByteBuffer(data, size);
  }
  const vl::RecoverAnswer answer = vl::readRecoverAnswer(std::move(chunk), world.keys, world.sequence);
  if (!answer.ok) check(!answer.message.english.empty());
  return 0;
}
