// The backup exchange's readers of the server's answers (the stored list,
// the receipt of a section, the receipt of a copy) on arbitrary bytes.
//
// The first byte steers. Bits 0-1 pick the reader (0 the stored list, 1 a
// section's receipt, 2 or 3 a copy's receipt). Bit 2 builds the rest into a
// chunk of the reader's type with the right MAC, so that the readers behind
// the MAC are reached (bit 3: encrypted); otherwise the rest is the whole
// chunk. Bit 4 puts the expected sequence number in front of the plaintext.
//
// Whatever the bytes, an answer is taken only when it reads whole; a
// refused one always carries a message in both languages.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "answer_world.h"
#include "core/byte_buffer.h"
#include "crypto/random_pool.h"
#include "net/backup_answers.h"
#include "net/chunk_framing.h"

namespace {

using vl::ByteBuffer;

using vl::fuzz::check;
using World = vl::fuzz::AnswerWorld;

void checkMessage(const vl::BackupMessage& message, bool ok) {
  check(ok == message.english.empty());
  check(ok == message.swedish.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static World world;
  if (size == 0 || size > 65536) return 0;
  const uint8_t steer = data[0];
  ++data;
  --size;
  const int reader = steer & 3;
  const bool encrypt = (steer & 8) != 0;
  const vl::ChunkType type = reader == 0   ? vl::ChunkType::kFileListRequestResponse
                             : reader == 1 ? vl::ChunkType::kFileDataResponse
                                           : vl::ChunkType::kFileListResponse;
  ByteBuffer chunk;
  if ((steer & 4) != 0) {
    ByteBuffer plaintext;
    if ((steer & 16) != 0) plaintext.appendU32(world.sequence.last());
    plaintext.appendBytes(data, size);
    chunk = vl::buildChunk(type, std::move(plaintext), encrypt, world.keys);
  } else {
    chunk = ByteBuffer(data, size);
  }
  const uint32_t chunkSize = chunk.size();
  switch (reader) {
    case 0: {
      const vl::StoredListAnswer answer =
          vl::readStoredListAnswer(std::move(chunk), world.keys, encrypt, world.sequence);
      checkMessage(answer.message, answer.ok);
      check(answer.ok || answer.list.empty());
      check(answer.list.size() <= chunkSize);
      if (answer.ok) check(answer.result == 0);
      break;
    }
    case 1: {
      const vl::UploadAnswer answer =
          vl::readUploadAnswer(std::move(chunk), world.keys, encrypt, world.sequence);
      checkMessage(answer.message, answer.ok);
      if (answer.ok) check(answer.result == vl::kUploadAccepted);
      if (!answer.ok) check(answer.uploaded == 0);
      break;
    }
    default: {
      const vl::CopyStoredAnswer answer =
          vl::readCopyStoredAnswer(std::move(chunk), world.keys, encrypt, world.sequence);
      checkMessage(answer.message, answer.ok);
      if (answer.ok) check(answer.result == 0);
      break;
    }
  }
  return 0;
}
