// TransportDh: the Diffie-Hellman exchange that completes the cipher key of
// an exchange with transport encryption on.
//
// The group is the 2048-bit MODP group 14 of RFC 3526 with generator 2. Each
// side draws a 64-byte exponent (x on the client, y on the server) and sends
// 2^exponent mod p; both then hash the shared value Z into the 32-byte secret
// that is XOR-ed into the cipher key. Every number on the wire is a 256-byte
// little-endian string.
//
// The RSA step alone gives the server's key holder (and anyone who later
// learns that key) the cipher key; this step adds a secret that only the two
// ends of this one connection know. The powers with a secret exponent take
// the same time whatever the exponent is. Exponents and secrets live in
// ByteBuffers, wiped when they go.
#pragma once

#include <cstdint>
#include <span>

#include "core/byte_buffer.h"

namespace vl {

class RandomPool;

class TransportDh {
 public:
  static constexpr uint32_t kValueSize = 256;    // p, X, Y and Z on the wire
  static constexpr uint32_t kExponentSize = 64;  // x and y
  static constexpr uint32_t kSecretSize = 32;

  // p as the 256-byte little-endian string that the program keeps.
  static std::span<const uint8_t, kValueSize> prime();

  // A new exponent (64 bytes from the pool) and its public value 2^x mod p.
  // False, both outputs empty, when the pool refuses (less than 512 credit
  // units or a cancelled pool).
  [[nodiscard]] static bool generate(RandomPool* pool, ByteBuffer* exponent,
                                     ByteBuffer* publicValue);

  // 2^exponent mod p for a 64-byte little-endian exponent; empty for any
  // other length.
  static ByteBuffer publicValueOf(std::span<const uint8_t> exponent);

  // A value the other side may send: exactly 256 bytes and 1 < value < p - 1.
  // 0, 1 and p - 1 would force the shared value into {0, 1, p - 1}, and
  // anything from p on is not a member of the group's range at all.
  static bool acceptablePeerValue(std::span<const uint8_t> value);

  // SHA-256 of the 256-byte little-endian form of peerValue^exponent mod p.
  // Empty when the peer's value is not acceptable, the exponent is not
  // 64 bytes or it is 0.
  static ByteBuffer agree(std::span<const uint8_t> exponent, std::span<const uint8_t> peerValue);
};

}  // namespace vl
