// The client's readers of the list answer and of the archive answer on
// arbitrary bytes.
//
// The first byte steers. Bit 0: an archive answer instead of a list answer.
// Bit 1 takes the rest as the answer's plaintext after the sequence number
// and builds the chunk around it (encrypted, with the right MAC), so that
// the readers behind the MAC are reached; otherwise the rest is the whole
// chunk. Bit 2 leaves the expected sequence number out of a built answer.
//
// Whatever the bytes, an answer is taken only when it reads whole: every
// copy it describes stood in the bytes, and a failure always has a text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "answer_world.h"
#include "core/byte_buffer.h"
#include "crypto/random_pool.h"
#include "net/archive_act.h"
#include "net/chunk_framing.h"
#include "net/list_request_act.h"

namespace {

using vl::ByteBuffer;

using vl::fuzz::check;
using World = vl::fuzz::AnswerWorld;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static World world;
  if (size == 0 || size > 65536) return 0;
  const uint8_t steer = data[0];
  ++data;
  --size;
  const bool archive = (steer & 1) != 0;
  const vl::ChunkType type =
      archive ? vl::ChunkType::kArchiveResponse : vl::ChunkType::kFileListRequestResponse;

  ByteBuffer chunk;
  if ((steer & 2) != 0) {
    ByteBuffer plaintext;
    if ((steer & 4) == 0) plaintext.appendU32(world.sequence.last());
    plaintext.appendBytes(data, size);
    chunk = vl::buildChunk(type, std::move(plaintext), true, world.keys);
  } else {
    chunk = ByteBuffer(data, size);
  }
  const size_t chunkSize = chunk.size();

  if (archive) {
    const vl::ArchiveAnswer answer =
        vl::readArchiveAnswer(std::move(chunk), world.keys, world.sequence);
    if (answer.ok) {
      // result, count, the records, four usage values
      check(2 + 4 + 4 + answer.copies.size() * 20 + 16 <= chunkSize);
    } else {
      check(answer.copies.empty() && !answer.message.english.empty() &&
            !answer.message.swedish.empty());
    }
    return 0;
  }
  const vl::ListAnswer answer =
      vl::readListAnswer(std::move(chunk), true, world.keys, world.sequence);
  switch (answer.kind) {
    case vl::ListAnswer::Kind::kPresent:
      check(2 + 1 + 4 + answer.record.size() + 16 <= chunkSize);
      break;
    case vl::ListAnswer::Kind::kAbsent:
      check(answer.record.empty());
      break;
    case vl::ListAnswer::Kind::kFailed:
      check(!answer.message.english.empty() && !answer.message.swedish.empty());
      break;
  }
  return 0;
}
