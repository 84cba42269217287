// SerpentCipher: the Serpent block cipher as submitted to the AES competition,
// used only as a counter generator that stretches a 32-byte digest into an
// RSA-sized number for signatures.
//
// Key layout: the key bytes are one big-endian number, so prekey word 0 is
// the big-endian value of the last four bytes and the highest word that of
// the first four; shorter keys get the word value 1 right above their last
// word. Blocks are four 32-bit words read and written little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/byte_buffer.h"
#include "core/progress_counter.h"

namespace vl {

class SerpentCipher {
 public:
  static constexpr size_t kBlockSize = 16;

  // Keys of 16, 24 or 32 bytes; any other length gives an invalid object.
  explicit SerpentCipher(std::span<const uint8_t> key);
  explicit SerpentCipher(const ByteBuffer& key) : SerpentCipher(key.span()) {}
  SerpentCipher(const SerpentCipher&) = delete;
  SerpentCipher& operator=(const SerpentCipher&) = delete;
  // Wipes the round keys.
  ~SerpentCipher();

  bool valid() const { return valid_; }
  // 16 is added per keystream block; a set cancel flag stops it. May be null.
  void setProgress(ProgressCounter* progress) { progress_ = progress; }

  // Encrypts one block in place; an invalid object wipes it and returns false.
  bool encryptBlock(uint8_t block[kBlockSize]) const;

  // `length` bytes of the counter generator: block i encrypts the four words
  // (i, i, i, i). Empty when the key is invalid or the work was cancelled.
  ByteBuffer keystream(uint32_t length);

 private:
  bool valid_ = false;
  ProgressCounter* progress_ = nullptr;
  uint32_t round_keys_[33][4] = {};
};

}  // namespace vl
