// HmacSha256: HMAC with SHA-256 (RFC 2104) under one key, for any number of
// messages.
//
// Keys must be 16 to 64 bytes long. Longer keys are not hashed down and
// shorter ones not accepted: either marks the object invalid, and an invalid
// object gives only empty tags, so every tag comparison against it fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/byte_buffer.h"
#include "core/progress_counter.h"
#include "crypto/sha256.h"

namespace vl {

class HmacSha256 {
 public:
  static constexpr size_t kMinKeySize = 16;
  static constexpr size_t kMaxKeySize = 64;
  static constexpr size_t kTagSize = 32;

  explicit HmacSha256(std::span<const uint8_t> key);
  explicit HmacSha256(const ByteBuffer& key) : HmacSha256(key.span()) {}
  HmacSha256(const HmacSha256&) = delete;
  HmacSha256& operator=(const HmacSha256&) = delete;
  // The pads are ByteBuffers and wipe themselves.
  ~HmacSha256() = default;

  bool valid() const { return !invalid_; }
  // Attached to the hashing of message bytes only (not the pads); may be null.
  void setProgress(ProgressCounter* progress) { progress_ = progress; }

  // The 32-byte tag of `message`; empty when the key was refused or the
  // hashing was cancelled.
  ByteBuffer mac(std::span<const uint8_t> message) const;
  ByteBuffer mac(const ByteBuffer& message) const { return mac(message.span()); }

  // The same for a message that comes in pieces: start() readies `inner`,
  // the caller feeds it the message with Sha256::update, and finish() gives
  // the tag (empty when the key was refused) and wipes `inner`.
  void start(Sha256* inner) const;
  ByteBuffer finish(Sha256* inner) const;

 private:
  ByteBuffer inner_pad_;  // key zero-padded to 64 bytes, XOR 0x36
  ByteBuffer outer_pad_;  // key zero-padded to 64 bytes, XOR 0x5c
  bool invalid_ = false;
  ProgressCounter* progress_ = nullptr;
};

}  // namespace vl
