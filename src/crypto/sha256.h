// Sha256: the SHA-256 hash of FIPS 180-4, fed incrementally.
//
// Only one 64-byte block is buffered; whole blocks are compressed straight
// from the caller's memory. A finished context starts a fresh hash on the next
// `update`, so one object can hash many messages in turn. An attached
// ProgressCounter gets 64 per compressed block and can cancel the hash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/byte_buffer.h"
#include "core/progress_counter.h"

namespace vl {

class Sha256 {
 public:
  static constexpr size_t kDigestSize = 32;
  static constexpr size_t kBlockSize = 64;

  Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  // Wipes the state and the buffered block.
  ~Sha256();

  // Progress and cancel record for the following updates; may be null.
  void setProgress(ProgressCounter* progress) { progress_ = progress; }

  // Absorbs `length` bytes. After `final` it first starts a fresh hash. With a
  // progress record attached, 64 is added per compressed block and a set
  // cancel flag resets the context to a fresh hash and gives false; the
  // caller then discards the result.
  bool update(const void* bytes, size_t length);
  bool update(std::span<const uint8_t> bytes) { return update(bytes.data(), bytes.size()); }
  bool update(const ByteBuffer& bytes) { return update(bytes.data(), bytes.size()); }

  // Pads, compresses the last block(s) and writes the 32-byte digest. Calling
  // it again without an update in between gives the same digest.
  void final(uint8_t digest[kDigestSize]);
  // The same as a 32-byte buffer.
  ByteBuffer final();

  // Back to a fresh hash (byte count 0, initial state, empty block).
  void reset();

 private:
  // Compresses `blocks` whole blocks, counting progress per block; false on cancel.
  bool compress(const uint8_t* data, size_t blocks);

  uint64_t byte_count_ = 0;
  uint32_t state_[8];
  uint8_t block_[kBlockSize];
  uint8_t finished_ = 0;
  ProgressCounter* progress_ = nullptr;
};

// SHA-256 of one buffer: a fresh context, one update, final.
ByteBuffer sha256(std::span<const uint8_t> bytes);
inline ByteBuffer sha256(const ByteBuffer& bytes) { return sha256(bytes.span()); }

}  // namespace vl
