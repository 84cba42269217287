// deriveKeys: splits one master key into the two keys of an authenticated
// cipher (key 0 encrypts, key 1 authenticates).
//
// The 64 bytes come from the AES counter generator keyed with the master
// key, so the same master key always yields the same pair.
#pragma once

#include <cstdint>
#include <span>

#include "core/byte_buffer.h"

namespace vl {

struct KeyPair {
  static constexpr uint32_t kKeySize = 32;

  // 2 on success, 0 when the master key was refused.
  uint32_t count = 0;
  // Key 0 in bytes 0..31, key 1 in bytes 32..63 (empty when count is 0).
  ByteBuffer keys;

  // Key i for i < count; an empty buffer otherwise.
  ByteBuffer key(uint32_t i) const;
};

// 64 bytes of AES keystream under `masterKey` (normally 32 bytes), split in
// two. A length AES refuses gives a pair with count 0.
KeyPair deriveKeys(std::span<const uint8_t> masterKey);
inline KeyPair deriveKeys(const ByteBuffer& masterKey) { return deriveKeys(masterKey.span()); }

}  // namespace vl
