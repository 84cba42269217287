// RecoverAct: the exchange that takes an account over on this installation
// (from the recovery file) and fetches its figures.
//
// It opens with a start chunk with transport encryption on and the new
// installation id as account string; once admitted it sends one RecoverChunk
// (type 16, encrypted, nothing after the sequence number). The server then
// makes this installation the account's owner, and answers (type 17,
// encrypted) with u16 result and, for 0, four u32 values for "last.bin"
// (time, files, bytes high, bytes low) and four for "usage.bin" (used bytes
// high, low, copies, reserved GiB), which are stored here.
#pragma once

#include <cstdint>

#include "core/byte_buffer.h"
#include "core/usage_files.h"
#include "net/chunk_sequence.h"
#include "net/exchange_keys.h"
#include "net/exchange_messages.h"
#include "net/send_action.h"
#include "net/setup_act.h"
#include "ui/short_exchange_actions.h"

namespace vl {

// The account's figures from a RecoverResponseChunk.
struct RecoverAnswer {
  bool ok = false;
  LastCopy last;
  ServerUsage usage;
  ExchangeMessage message;  // why not, when not ok
};

// Reads `chunk` as the answer to the RecoverChunk numbered sequence.last():
// MAC, decryption, the number echoed, the result, then exactly eight u32.
RecoverAnswer readRecoverAnswer(ByteBuffer chunk, const ExchangeKeys& keys,
                                const ChunkSequence& sequence);

class RecoverAct : public SendAction {
 public:
  // `callbacks` and `pool` must outlive the exchange.
  RecoverAct(RecoverMainAction* callbacks, RandomPool* pool, AccountFiles files = {});

  // Filled when the start chunk is built (openExchange).
  ExchangeKeys& keys() { return keys_; }
  ByteBuffer& dhExponent() { return dh_exponent_; }

  bool dispatch(ByteBuffer chunk, ByteBuffer* answer, bool* longWait) override;
  void reportError(TransferErrorKind kind, uint32_t platformCode) override;

 private:
  bool admit(const ByteBuffer& chunk, ByteBuffer* request);
  bool store(ByteBuffer chunk);
  bool fail(const ExchangeMessage& message);

  RecoverMainAction* callbacks_;
  RandomPool* pool_;
  AccountFiles files_;
  ExchangeKeys keys_;
  ByteBuffer dh_exponent_;
  ChunkSequence sequence_;
  bool admitted_ = false;
};

}  // namespace vl
