// SectionCipher: authenticated encryption of one buffer under a master key.
//
// Sealed form: IV (16) || AES-256-CBC ciphertext || HMAC-SHA256 tag (32) over
// IV and ciphertext. The master key is split by deriveKeys: key 0 encrypts,
// key 1 authenticates. Every IV comes from the random pool. Sealing adds 48
// bytes plus 1 to 16 bytes of padding. Opening checks the tag in constant
// time before anything is decrypted; a wrong tag, bad padding or a short
// buffer all fail the same way.
//
// An object carries chaining state between calls: use one per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/byte_buffer.h"
#include "core/progress_counter.h"
#include "crypto/aes_cipher.h"
#include "crypto/hmac_sha256.h"
#include "crypto/key_derivation.h"
#include "crypto/random_pool.h"

namespace vl {

class SectionCipher {
 public:
  static constexpr size_t kIvSize = 16;
  static constexpr size_t kTagSize = 32;

  // Derives the two keys from `masterKey`. A master key AES refuses, or a
  // null pool, leaves the object failed.
  SectionCipher(std::span<const uint8_t> masterKey, RandomPool* pool);
  SectionCipher(const ByteBuffer& masterKey, RandomPool* pool)
      : SectionCipher(masterKey.span(), pool) {}
  SectionCipher(const SectionCipher&) = delete;
  SectionCipher& operator=(const SectionCipher&) = delete;

  // Once failed, always failed.
  bool failed() const { return failed_; }
  // Attached to the encryption, decryption and tag work; may be null.
  void setProgress(ProgressCounter* progress);

  // Seals in place. A pool with less than 512 credit turns the object failed
  // and leaves the buffer as it was. Any other failure (already failed, pool
  // refused, cancel) wipes and empties the buffer. False on every failure.
  bool seal(ByteBuffer& buffer);

  // Opens in place: on success the buffer holds the plaintext. Every failure
  // (failed object, short buffer, tag mismatch, bad padding, cancel) wipes
  // and empties the buffer and returns false.
  bool open(ByteBuffer& buffer);

 private:
  SectionCipher(const KeyPair& keys, RandomPool* pool);
  void failWith(ByteBuffer& buffer);

  bool failed_ = true;
  RandomPool* pool_ = nullptr;
  AesCipher encryption_;
  HmacSha256 authentication_;
};

}  // namespace vl
