// The client's handling of the server's startup answer (type 1), the same
// for every exchange that opens with a start chunk.
//
// The answer code is read before anything is checked: a refusal ends the
// exchange whether or not its MAC would verify (a server that could not
// decapsulate the secret has no key to MAC it with, and a forged refusal
// achieves nothing that cutting the connection would not). An admission is
// believed only once its MAC verifies; with transport encryption on it then
// carries the server's DH value Y, and the agreed secret completes the
// cipher key.
#pragma once

#include <cstdint>
#include <span>

#include "core/byte_buffer.h"
#include "net/exchange_keys.h"
#include "net/exchange_messages.h"

namespace vl {

enum class StartupOutcome {
  kAdmitted,        // keys ready; with encryption on, the cipher key established
  kRefused,         // a non-zero answer code
  kNotVerified,     // unreadable, or an admission whose MAC does not verify
  kKeySetupFailed,  // an admission whose DH step failed
};

struct StartupResult {
  StartupOutcome outcome = StartupOutcome::kNotVerified;
  uint16_t code = 0;        // the answer code, when one could be read
  ExchangeMessage message;  // what to log and show; empty on admission
};

// Handles `chunk` as the startup answer to a start chunk built with
// `encrypt`, for the exchange `kind` (which picks the texts). `dhExponent` is
// the x kept since the start chunk was built; it is wiped whatever the
// outcome, as no later answer needs it. `keys` are established only on
// kAdmitted with encryption on.
StartupResult handleStartupAnswer(std::span<const uint8_t> chunk, ExchangeKind kind, bool encrypt,
                                  ExchangeKeys* keys, ByteBuffer* dhExponent);

}  // namespace vl
