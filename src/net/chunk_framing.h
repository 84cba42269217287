// Building and opening authenticated chunks.
//
// Body of an authenticated chunk, after the header: a field with the payload
// and a field with the 32-byte MAC. The payload is the plaintext, or, when the
// exchange encrypts, a 16-byte IV from the random pool followed by the
// AES-256-CBC encryption of the plaintext under the cipher key. The MAC is
// HMAC-SHA256 under the MAC key of the chunk's label, one zero byte and the
// payload as carried (so the ciphertext when encrypted).
//
// Every request's plaintext begins with its u32 sequence number, and every
// answer but the startup and account setup answers echoes it (ChunkSequence).
// After the number an answer carries a u16 result, 0 for success.
//
// Nothing here does I/O or keeps state besides what is passed in; every
// buffer that holds plaintext is a ByteBuffer, wiped when it goes.
#pragma once

#include <cstdint>
#include <span>

#include "core/byte_buffer.h"
#include "core/strict_reader.h"
#include "net/chunk_sequence.h"
#include "net/chunk_type.h"
#include "net/exchange_keys.h"

namespace vl {

constexpr uint32_t kChunkMacSize = 32;
constexpr uint32_t kChunkIvSize = 16;

// The two fields of an authenticated chunk, as views into the chunk.
struct ChunkFields {
  std::span<const uint8_t> payload;
  std::span<const uint8_t> mac;
};

enum class OpenStatus {
  kOpened,
  kNotAuthentic,   // not a complete chunk, fields missing or extra, no MAC
                   // key, or a MAC that does not match
  kNotDecrypted,   // authentic, but the payload could not be decrypted
  kOutOfSequence,  // authentic, but its sequence number is not the expected one
};

// An opened chunk that carries a sequence number.
struct OpenedChunk {
  ByteBuffer plaintext;  // all of it, the number included
  uint32_t number = 0;
  // A reader over the fields after the number.
  StrictReader fields() const { return StrictReader(plaintext.span().subspan(4)); }
};

// HMAC-SHA256 under the MAC key of label(type) || 0x00 || payload; empty when
// the keys cannot authenticate or the type carries no MAC.
ByteBuffer chunkMac(const ExchangeKeys& keys, ChunkType type, std::span<const uint8_t> payload);

// A complete authenticated chunk of `type` carrying `plaintext` (taken, and
// used as scratch space for the encryption when `encrypt` is set). Empty when
// the type carries no MAC, the keys cannot do what is asked, the pool gives
// no IV, or the chunk would be longer than the receiver accepts. The read
// position is left just past the header.
ByteBuffer buildChunk(ChunkType type, ByteBuffer plaintext, bool encrypt,
                      const ExchangeKeys& keys);

// The plaintext of a request: its sequence number (the counter moves on)
// ready for the request's own fields to be appended. With the size of those
// fields it also has room for the chunk that buildChunk makes around them,
// which then needs no second buffer.
ByteBuffer startRequestPlaintext(ChunkSequence& sequence, uint32_t fieldsSize = 0);

// The payload and MAC fields of a complete chunk, starting right after the
// header. False when either is missing, the MAC field is not 32 bytes or
// anything follows it.
[[nodiscard]] bool readFields(std::span<const uint8_t> chunk, ChunkFields* fields);

// The opening functions take the chunk and make its plaintext in the same
// memory, so a 2 MiB answer is not copied again; pass a copy to keep the
// chunk.

// Checks the MAC of a complete chunk under the label of `type` (so a chunk
// whose header names another type fails), then decrypts its payload when
// `decrypt` is set. `plaintext` is filled only on kOpened and emptied
// otherwise.
[[nodiscard]] OpenStatus verifyAndOpen(ByteBuffer chunk, ChunkType type, bool decrypt,
                                       const ExchangeKeys& keys, ByteBuffer* plaintext);

// For the client: verifyAndOpen, then the answer must echo the number of the
// last request sent.
[[nodiscard]] OpenStatus openAnswer(ByteBuffer chunk, ChunkType type, bool decrypt,
                                    const ExchangeKeys& keys, const ChunkSequence& sequence,
                                    OpenedChunk* opened);

// For the side that receives requests: verifyAndOpen, then the request's
// number must be the one after the last accepted; only then does `sequence`
// move on.
[[nodiscard]] OpenStatus openRequest(ByteBuffer chunk, ChunkType type, bool decrypt,
                                     const ExchangeKeys& keys, ChunkSequence& sequence,
                                     OpenedChunk* opened);

}  // namespace vl
