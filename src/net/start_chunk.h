// The start chunk (type 0): how the client opens every exchange but account
// setup, and how the server reads it.
//
// After the header, neither MAC'd nor encrypted:
//   u16 1, u16 7, u32 user number,
//   field: signed block, field: signature of the signed block (signMessage).
// Signed block:
//   field: 8 fresh random bytes, u32 server key number,
//   field: key-establishment block, u8 transport encryption flag (1 on, 0 off),
//   field: account string (installation id, or empty),
//   u16 0 -- only in the chunk that the creating operation builds, not in
//   those rebuilt on reconnect.
// Key-establishment block:
//   u16 1, field: RSA encapsulation under the server's key of the new
//   exchange secret, and with encryption on field: the client's
//   Diffie-Hellman value X (256 bytes).
//
// The exchange secret exists only on the client and, once decapsulated, on
// the holder of the server's private key; the exchange keys come from it.
// So a recorded start chunk played again gets its sender a server answer
// MAC'd under keys it cannot compute.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/byte_buffer.h"
#include "crypto/server_key.h"
#include "net/exchange_keys.h"

namespace vl {

class RandomPool;

constexpr uint16_t kStartProtocol = 1;
constexpr uint16_t kStartVersion = 7;
constexpr uint16_t kKeyBlockVersion = 1;
constexpr uint32_t kStartNonceSize = 8;

// The modulus length that a server key size code stands for: 0, 1, 2 give
// 256, 384, 512 bytes (2048, 3072, 4096 bits); nothing for any other code.
std::optional<uint32_t> serverModulusBytes(uint16_t sizeCode);

// The RSA half of key establishment: a new 32-byte exchange secret and its
// encapsulation under `server`'s key. False, both empty, when the pool
// refuses or the key's size code or modulus is wrong. Account setup uses it
// alone; every start chunk uses it too.
[[nodiscard]] bool encapsulateForServer(const ServerKey& server, RandomPool* pool,
                                        ByteBuffer* secret, ByteBuffer* encapsulated);

// What the exchange's creator gives for every start chunk it builds.
struct StartChunkInput {
  uint32_t userNumber = 0;
  std::span<const uint8_t> accountString;
  // The account's signing key in its short (256) or full (896 byte) form.
  std::span<const uint8_t> signingKey;
  bool encrypt = false;
  // Built by the creating operation (not on a reconnect): the signed block
  // ends with u16 0.
  bool first = false;
};

// What building leaves besides new exchange keys.
struct BuiltStart {
  ByteBuffer chunk;       // read position just past the header
  ByteBuffer dhExponent;  // x, 64 bytes, with encryption on; kept until the answer
};

// Builds a start chunk with fresh random bytes, a new exchange secret
// encapsulated under `server`'s key and, with encryption on, a new DH key
// pair; `keys` are derived from the new secret (the cipher key not yet
// established). False when the pool holds less than 512 credit units, the
// server key's size code or modulus length is wrong, the key does not load
// or the signing key does not sign; `keys` are then cleared, so that no key
// of an earlier start outlives a failed rebuild, and `out` is empty.
[[nodiscard]] bool buildStartChunk(const StartChunkInput& input, const ServerKey& server,
                                   RandomPool* pool, ExchangeKeys* keys, BuiltStart* out);

// A start chunk taken apart; every span points into the chunk.
struct ParsedStart {
  uint16_t protocol = 0;  // 1
  uint16_t version = 0;   // 7
  uint32_t userNumber = 0;
  std::span<const uint8_t> signedBlock;  // exactly the bytes the signature covers
  std::span<const uint8_t> signature;
  // The signed block.
  std::span<const uint8_t> nonce;  // 8 bytes
  uint32_t serverKeyNumber = 0;
  uint8_t encryptionFlag = 0;  // as sent; only 0 and 1 mean something
  std::span<const uint8_t> accountString;
  bool first = false;  // the block ended with the creating operation's u16 0
  // The key-establishment block.
  uint16_t keyBlockVersion = 0;
  std::span<const uint8_t> encapsulated;
  std::optional<std::span<const uint8_t>> dhValue;  // X, when the block carries one
};

// Takes a complete type-0 chunk apart, refusing anything malformed: a field
// cut short, a nonce that is not 8 bytes, a key-establishment block with
// anything after its optional DH field, a signed block with anything after
// the account string but a single u16 0, and any byte after the signature.
// The values themselves (versions, key number, flag, lengths of the
// ciphertext and of X) are left to the checks that follow, which answer each
// with its own code. `parsed` is filled only on success.
[[nodiscard]] bool parseStartChunk(std::span<const uint8_t> chunk, ParsedStart* parsed);

}  // namespace vl
