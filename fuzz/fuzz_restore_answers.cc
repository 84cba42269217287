// The restore exchange's readers of the list answer and the section answer
// on arbitrary bytes, and the key-free reading of the section record that a
// section answer carries.
//
// The first byte steers. Bit 0: a section answer instead of a list answer.
// Bit 1 builds a proper chunk around the rest (the expected sequence number
// in front, MAC'd, and encrypted when bit 2 is set), so that the readers
// behind the MAC are reached; otherwise the rest is the whole chunk. Bit 3
// asks the list reader for a named copy (selector 3) instead of the latest.
//
// Whatever the bytes: an answer that is not taken says why in both
// languages; a taken one holds its record inside its own plaintext, and a
// list that is present is never empty.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "answer_world.h"
#include "core/byte_buffer.h"
#include "model/section_record.h"
#include "net/chunk_framing.h"
#include "net/restore_act.h"

namespace {

using vl::ByteBuffer;

using vl::fuzz::check;
using World = vl::fuzz::AnswerWorld;

bool inside(std::span<const uint8_t> part, const ByteBuffer& whole) {
  if (part.empty()) return true;
  return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static World world;
  if (size == 0 || size > 65536) return 0;
  const uint8_t steer = data[0];
  ++data;
  --size;
  const bool section = (steer & 1) != 0;
  const bool encrypt = (steer & 4) != 0;
  const vl::ChunkType type = section ? vl::ChunkType::kFileDataRequestResponse
                                     : vl::ChunkType::kFileListRequestResponse;
  ByteBuffer chunk;
  if ((steer & 2) != 0) {
    ByteBuffer plaintext;
    plaintext.appendU32(world.sequence.last());
    plaintext.appendBytes(data, size);
    chunk = vl::buildChunk(type, std::move(plaintext), encrypt, world.keys);
    if (chunk.empty()) return 0;
  } else {
    chunk = ByteBuffer(data, size);
  }

  const vl::RestoreAnswer answer =
      section ? vl::readSectionAnswer(std::move(chunk), encrypt, world.keys, world.sequence)
              : vl::readListAnswer(std::move(chunk), encrypt, world.keys, world.sequence,
                                   (steer & 8) != 0 ? 3 : 0);
  if (!answer.ok) {
    check(!answer.message.english.empty() && !answer.message.swedish.empty());
    return 0;
  }
  check(inside(answer.record, answer.plaintext));
  if (!section) {
    check(answer.listPresent && !answer.record.empty());
    return 0;
  }
  if (std::optional<std::span<const uint8_t>> wrapped = vl::wrappedSecretOf(answer.record)) {
    check(inside(*wrapped, answer.plaintext));
  }
  return 0;
}
