// AesCipher: AES (FIPS-197) under one key, in the few forms the client uses.
//
// - CBC over a whole buffer in place, with this program's padding: n = 16 -
//   (length mod 16) bytes are added, n - 1 zeros and then the byte n, so a
//   length that is already a multiple of 16 gains a whole block.
// - Single blocks without chaining (stirring the random pool).
// - A counter generator: block i of the stream is the encryption of the
//   32-bit value i written little-endian four times.
//
// The chaining value returns to zero after every buffer operation, so each
// buffer that wants an IV needs its own setChainingValue (so one object
// serves one thread at a time). An object keyed
// with a refused length is invalid: each operation on it wipes and empties
// the buffer and returns false.
//
// Round keys are expanded once per key. Blocks go through the processor's AES
// instructions when it has them; otherwise through the portable T-table code,
// which leaks timing through the cache and is only the fallback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/byte_buffer.h"
#include "core/progress_counter.h"

namespace vl {

class AesCipher {
 public:
  static constexpr size_t kBlockSize = 16;

  // Keys of 16, 24 or 32 bytes (10, 12, 14 rounds), in FIPS-197 byte order;
  // any other length gives an invalid object.
  explicit AesCipher(std::span<const uint8_t> key);
  explicit AesCipher(const ByteBuffer& key) : AesCipher(key.span()) {}
  AesCipher(const AesCipher&) = delete;
  AesCipher& operator=(const AesCipher&) = delete;
  // Wipes both round-key arrays and the chaining value.
  ~AesCipher();

  bool valid() const { return valid_; }
  // 16 is added per block processed by the buffer operations and keystream;
  // a set cancel flag stops them at the next block. May be null.
  void setProgress(ProgressCounter* progress) { progress_ = progress; }

  // The CBC value for the next buffer operation (the IV).
  void setChainingValue(std::span<const uint8_t, kBlockSize> value);

  // Pads and CBC-encrypts in place. On success the buffer is 1 to 16 bytes
  // longer, a multiple of 16. Invalid key or cancel: the buffer is wiped and
  // emptied, false. The chaining value is zero afterwards in every case.
  bool encryptBuffer(ByteBuffer& buffer);

  // CBC-decrypts in place and removes the padding. A length of zero or not a
  // multiple of 16 is refused and the buffer left as it was. A last byte n
  // above 16 is refused with the buffer wiped and emptied; otherwise the last
  // n bytes are cut (all of them when n >= length; n = 0 cuts nothing) and
  // the filler bytes are not checked. Invalid key or cancel: wiped, emptied,
  // false. The chaining value is zero afterwards in every case.
  bool decryptBuffer(ByteBuffer& buffer);

  // CBC-decrypts whole blocks in place, going on from the chaining value,
  // which then holds the last ciphertext block: for a buffer decrypted a
  // piece at a time (the caller removes the padding and wipes the chaining
  // value with endChaining). No progress, no padding. False, with `data`
  // untouched, for an invalid key or a length not a multiple of 16.
  bool decryptBlocks(std::span<uint8_t> data);
  void endChaining();

  // Encrypts (decrypts) one block in place, no chaining, no progress. An
  // invalid object wipes the block and returns false.
  bool encryptBlock(uint8_t block[kBlockSize]) const;
  bool decryptBlock(uint8_t block[kBlockSize]) const;

  // `length` bytes of the counter generator; empty when the key is invalid
  // or the progress record cancelled the work.
  ByteBuffer keystream(uint32_t length);

 private:
  void wipe(ByteBuffer& buffer);

  bool valid_ = false;
  bool hardware_ = false;  // AES instructions chosen when the key was set
  ProgressCounter* progress_ = nullptr;
  alignas(16) uint8_t chaining_[kBlockSize] = {};
  uint32_t rounds_ = 0;
  uint32_t key_length_ = 0;
  // Round keys as 16-byte blocks in FIPS-197 byte order. The decryption keys
  // are those of the equivalent inverse cipher: reversed, InvMixColumns on
  // all but the first and last.
  alignas(16) uint8_t encryption_keys_[15 * kBlockSize] = {};
  alignas(16) uint8_t decryption_keys_[15 * kBlockSize] = {};
};

}  // namespace vl
