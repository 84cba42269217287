// The server's answers in the backup exchange, read as the client reads
// them: the stored list of the latest copy (type 9), the receipt of one
// section (type 3) and the receipt of the new copy (type 7).
//
// Each answer is MAC'd under the exchange keys, encrypted when transport
// encryption is on, and begins with the sequence number of the request it
// answers and a u16 result:
//   type 9: u8 list present; when 1, field: the latest copy's list record.
//           The fields the list exchange reads after it are not read here.
//   type 3: for result 0, u32 and u32: high and low half of the bytes this
//           copy has uploaded so far.
//   type 7: for result 0, u32 high and u32 low half of the bytes used on the
//           server, u32 number of stored copies, u32 reserved GiB.
// A reader never acts on anything; it tells what the answer says, or which
// message ends the exchange. Nothing here does I/O.
#pragma once

#include <cstdint>
#include <string>

#include "core/byte_buffer.h"
#include "core/usage_files.h"
#include "net/chunk_sequence.h"
#include "net/exchange_keys.h"
#include "net/exchange_messages.h"

namespace vl {

// A message of the backup exchange. In two places the program has always
// shown a Swedish text that differs from the one it logs; `shownSwedish`
// holds it then (empty otherwise).
struct BackupMessage {
  std::string swedish;
  std::string english;
  std::string shownSwedish;

  const std::string& shown() const { return shownSwedish.empty() ? swedish : shownSwedish; }
  bool operator==(const BackupMessage&) const = default;
};

BackupMessage backupMessage(std::string swedish, std::string english);

// What made an answer unusable before its result was read.
BackupMessage verificationFailure();  // no keys, or a MAC that does not match
BackupMessage encryptionFailure();    // could not be decrypted (or a request not built)
BackupMessage transferFailure();      // wrong number, result missing, fields cut short

// Results of a FileDataResponseChunk.
inline constexpr uint16_t kUploadAccepted = 0;
inline constexpr uint16_t kUploadOverQuota = 3;

struct StoredListAnswer {
  bool ok = false;
  uint16_t result = 0;
  bool present = false;
  ByteBuffer list;  // the record as received; may be empty when present
  BackupMessage message;  // why not, when not ok
};

struct UploadAnswer {
  bool ok = false;       // result 0 and both halves read
  uint16_t result = 0;   // as read (kUploadOverQuota: the account is full)
  uint64_t uploaded = 0;
  BackupMessage message;
};

struct CopyStoredAnswer {
  bool ok = false;
  uint16_t result = 0;
  ServerUsage usage;
  BackupMessage message;
};

// Each reads `chunk` as the answer to the request numbered sequence.last(),
// decrypting when `decrypt` is set.
StoredListAnswer readStoredListAnswer(ByteBuffer chunk, const ExchangeKeys& keys, bool decrypt,
                                      const ChunkSequence& sequence);
UploadAnswer readUploadAnswer(ByteBuffer chunk, const ExchangeKeys& keys, bool decrypt,
                              const ChunkSequence& sequence);
CopyStoredAnswer readCopyStoredAnswer(ByteBuffer chunk, const ExchangeKeys& keys, bool decrypt,
                                      const ChunkSequence& sequence);

}  // namespace vl
