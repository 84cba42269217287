// ArchiveAct: the exchange that lists the archived copies, or deletes some
// of them, and brings the server's usage figures back.
//
// It opens with a start chunk (transport encryption on, the installation id
// as account string). Once admitted it sends one ArchiveChunk (type 14,
// always encrypted): u32 mode, field: u32 count followed by count u32 copy
// numbers. Mode 1 lists; mode 2 deletes the archived copies with the given
// numbers, all or none. Copies are named by the number the server gave each
// when it stored it, not by position: a view that removes deleted rows keeps
// the numbers of the others valid. The answer (type 15, encrypted) holds u16
// result and, for 0: field: u32 count followed by count records of copy
// number, time, files, size high, size low (newest first); u32 used bytes
// high, low; u32 stored copies; u32 reserved space in GiB. Result 4 says a
// number was not an archived copy's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/byte_buffer.h"
#include "core/usage_files.h"
#include "net/chunk_sequence.h"
#include "net/exchange_keys.h"
#include "net/exchange_messages.h"
#include "net/send_action.h"
#include "ui/short_exchange_actions.h"

namespace vl {

class RandomPool;

// The modes of an ArchiveChunk.
inline constexpr uint32_t kArchiveList = 1;
inline constexpr uint32_t kArchiveDelete = 2;
// The result of a deletion naming a number that is no archived copy's.
inline constexpr uint16_t kArchiveWrongNumber = 4;

// An ArchiveResponseChunk as read.
struct ArchiveAnswer {
  bool ok = false;
  std::vector<ArchivedCopy> copies;  // values: copy number, time, files
  ServerUsage usage;
  ExchangeMessage message;  // why not, when not ok
};

// Reads `chunk` as the answer to the ArchiveChunk numbered sequence.last():
// MAC, decryption, the number echoed, the result, then the records and the
// four usage values read whole.
ArchiveAnswer readArchiveAnswer(ByteBuffer chunk, const ExchangeKeys& keys,
                                const ChunkSequence& sequence);

class ArchiveAct : public SendAction {
 public:
  // `callbacks` and `pool` must outlive the exchange. `usagePath` is where
  // the usage figures of the answer are written.
  ArchiveAct(ArchiveMainAction* callbacks, RandomPool* pool, uint32_t mode,
             std::vector<uint32_t> copyNumbers, std::string usagePath = kServerUsageFile);

  // Filled when the start chunk is built (openExchange).
  ExchangeKeys& keys() { return keys_; }
  ByteBuffer& dhExponent() { return dh_exponent_; }

  bool dispatch(ByteBuffer chunk, ByteBuffer* answer, bool* longWait) override;
  void reportError(TransferErrorKind kind, uint32_t platformCode) override;

 private:
  bool admit(const ByteBuffer& chunk, ByteBuffer* request, bool* longWait);
  bool take(ByteBuffer chunk);
  bool fail(const ExchangeMessage& message);

  ArchiveMainAction* callbacks_;
  RandomPool* pool_;
  uint32_t mode_;
  std::vector<uint32_t> copy_numbers_;
  std::string usage_path_;
  ExchangeKeys keys_;
  ByteBuffer dh_exponent_;
  ChunkSequence sequence_;
  bool admitted_ = false;
};

}  // namespace vl
