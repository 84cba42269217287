// ListRequestAct: the exchange that describes the stored copies one per
// request, newest first, and may keep each copy's list record.
//
// It opens with a start chunk (transport encryption on, the recovery file's
// account and an empty account string). Once admitted it
// sends FileListRequestChunks (type 8): u32 selector, u8 with-lists flag;
// selector s names the s-th newest copy. Each answer (type 9) carries u16
// result, u8 copy present and, when present: field: the copy's list record
// (sealed under the local key; it may be empty), u32 time, u32 number of
// files, u32 size high, u32 size low.
//
// It asks for selectors 0, 1, 2, ... until it has the wanted count, or, with
// a wanted count of 0, until the server says no copy is present. With lists
// on, each received record is kept as "list_data_" + selector + ".bin", still
// sealed, and "list_count.bin" then says how many there are. A cancel byte
// shared with the caller, found set when an answer arrives, ends it at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "core/byte_buffer.h"
#include "net/chunk_sequence.h"
#include "net/exchange_keys.h"
#include "net/exchange_messages.h"
#include "net/send_action.h"
#include "ui/short_exchange_actions.h"

namespace vl {

class RandomPool;

// A stored copy as the list answer describes it.
struct StoredCopy {
  uint32_t time = 0;  // seconds since 1970, as the copy's client stated it
  uint32_t files = 0;
  uint64_t size = 0;  // bytes of the files in the copy

  bool operator==(const StoredCopy&) const = default;
};

// A FileListRequestResponseChunk as read.
struct ListAnswer {
  enum class Kind { kFailed, kAbsent, kPresent };
  Kind kind = Kind::kFailed;
  StoredCopy copy;          // when present
  ByteBuffer record;        // when present: the list record as received, possibly empty
  ExchangeMessage message;  // when failed
};

// Reads `chunk` as the answer to the FileListRequestChunk numbered
// sequence.last(): MAC, decryption when `decrypt`, the number echoed, the
// result, then the rest read whole (a present byte other than 0 or 1, or a
// byte too many or too few, is a transfer error).
ListAnswer readListAnswer(ByteBuffer chunk, bool decrypt, const ExchangeKeys& keys,
                          const ChunkSequence& sequence);

// What a list exchange is asked to do.
struct ListRequest {
  uint32_t wantedCount = 0;  // 0: every copy the server holds
  bool withLists = false;    // keep each list record in the list cache
  std::string cacheFolder;   // where the list cache lives; empty = working directory
};

class ListRequestAct : public SendAction {
 public:
  // `callbacks`, `pool`, `cancel` and `copies` must outlive the exchange.
  // `localKey` (copied) opens the received list records. Each described copy
  // is appended to `copies`, which the caller clears beforehand when it
  // wants only this exchange's.
  ListRequestAct(ListRequestMainAction* callbacks, RandomPool* pool,
                 std::span<const uint8_t> localKey, const ListRequest& request,
                 const std::atomic<uint8_t>* cancel, std::vector<StoredCopy>* copies);

  // Filled when the start chunk is built (openExchange).
  ExchangeKeys& keys() { return keys_; }
  ByteBuffer& dhExponent() { return dh_exponent_; }

  bool dispatch(ByteBuffer chunk, ByteBuffer* answer, bool* longWait) override;
  void reportError(TransferErrorKind kind, uint32_t platformCode) override;

 private:
  bool admit(const ByteBuffer& chunk, ByteBuffer* request);
  bool take(ByteBuffer chunk, ByteBuffer* request);
  // Keeps the received record as list `number` of the cache.
  bool keep(uint32_t number, const ByteBuffer& record);
  // The request for next_selector_, which then moves on.
  bool ask(ByteBuffer* request, const ExchangeMessage& buildFailure);
  bool fail(const ExchangeMessage& message);
  bool cancelled() const { return cancel_ != nullptr && cancel_->load() == 1; }

  ListRequestMainAction* callbacks_;
  RandomPool* pool_;
  ByteBuffer local_key_;
  ListRequest request_;
  const std::atomic<uint8_t>* cancel_;
  std::vector<StoredCopy>* copies_;
  ExchangeKeys keys_;
  ByteBuffer dh_exponent_;
  ChunkSequence sequence_;
  uint32_t next_selector_ = 0;
  bool admitted_ = false;
};

}  // namespace vl
