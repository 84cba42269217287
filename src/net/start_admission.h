// The server's side of an exchange start: deciding whether a start chunk is
// admitted, and the startup answer (type 1) that says so.
//
// The checks run in a fixed order, and the first that fails decides the
// answer code:
//   1. the chunk reads, carries u16 1 and 7, a key-establishment block of
//      version 1, and the number of the server's key        else 2
//   2. the exchange secret decapsulates under that key       else 3
//   3. the user exists                                        else 1
//   4. the signature verifies against the signing key the
//      account registered at setup                            else 3
//   5. the encryption flag is 0 or 1; with 1, X is 256 bytes
//      and 1 < X < p - 1, and with 0 there is no X          else 3
// Whether the account belongs to this installation (code 5) and whether it
// is blocked (code 4) are the server's own business and come after these.
//
// From step 2 on the exchange keys exist, so every later refusal is MAC'd
// like an admission. With encryption on, an admission also carries the
// server's DH value Y and completes the cipher key.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "core/byte_buffer.h"
#include "crypto/rsa_key.h"
#include "net/exchange_keys.h"
#include "net/exchange_messages.h"
#include "net/start_chunk.h"

namespace vl {

// Finds the account of a user number: true, with the public half of its
// signing key (256 bytes, the modulus), when the user exists.
using SigningKeyLookup =
    std::function<bool(uint32_t userNumber, ByteBuffer* signingPublicKey)>;

struct StartAdmission {
  StartAnswerCode code = StartAnswerCode::kOutdatedClient;
  // The chunk taken apart (spans into it); meaningful from step 2 on.
  ParsedStart start;
  // Transport encryption asked for and agreed.
  bool encrypt = false;
  // Y, to send with the admission when `encrypt` is set.
  ByteBuffer serverDhValue;
};

// Runs the checks above on a received chunk. `serverKey` is the server's
// private encryption key and `keyNumber` its number; `pool` gives the
// server's 64-byte DH exponent. `keys` are derived as soon as the secret
// decapsulates and established when the DH step completes; they stay cleared
// when step 1 or 2 fails. A pool that gives no exponent refuses with code 3.
StartAdmission admitStart(std::span<const uint8_t> chunk, const RsaKey& serverKey,
                          uint32_t keyNumber, const SigningKeyLookup& lookup, RandomPool* pool,
                          ExchangeKeys* keys);

// The startup answer: u16 code, and for an admission with encryption on a
// field with Y, MAC'd with the label "StartupResponseChunk: ". A refusal
// without keys (the chunk did not read or decapsulate) gets a MAC of zeros:
// the client acts on a non-zero code before it looks at the MAC. Empty when
// an admission cannot be MAC'd or lacks a 256-byte Y.
ByteBuffer buildStartupAnswer(StartAnswerCode code, bool encrypt,
                              std::span<const uint8_t> serverDhValue, const ExchangeKeys& keys);

}  // namespace vl
