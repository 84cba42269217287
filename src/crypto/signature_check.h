// verifySignature: the server's side of the account's signatures.
//
// The client only signs (signMessage); whoever receives a signed message
// checks it against the public half of the signing key that the account
// registered when it was made. The check recomputes the number that signing
// raised to the private exponent (the Serpent stream of the message's
// SHA-256, brought below n) and compares it with signature^65537 mod n.
#pragma once

#include <cstdint>
#include <span>

#include "crypto/rsa_key.h"

namespace vl {

// True when `signature` is signMessage(message, ...) under the private half
// of `publicKey`, a valid signing key (kind 1). False for any other key, a
// signature that is not exactly modulus bytes or not below n, and a
// mismatch.
[[nodiscard]] bool verifySignature(std::span<const uint8_t> message,
                                   std::span<const uint8_t> signature, const RsaKey& publicKey);

}  // namespace vl
