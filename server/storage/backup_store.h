// BackupStore: where the server keeps each account's copies, as the
// protocol handler sees it.
//
// The handler asks for an account's AccountBackups and calls it for every
// backup, restore and list request; how records and their descriptions are
// kept is the implementation's business. Every call that answers "stored"
// has made its change durable, so the handler may then answer the client.
// Two connections of one account (a backup and a restore) get the same
// object; it serialises what must not interleave.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/byte_buffer.h"

namespace vl {

enum class UploadOutcome {
  kStored,
  kNumberInUse,  // a stored copy uses the number
  kOverQuota,    // the account's used bytes plus the record pass its reserved space
  kFailed,       // the store could not write
};

struct UploadResult {
  UploadOutcome outcome = UploadOutcome::kFailed;
  // Bytes uploaded since the account's last completed copy, each number
  // counted once, this record included.
  uint64_t copyBytes = 0;
};

// A stored copy as the catalogue describes it.
struct CopySummary {
  uint32_t copy = 0;
  uint32_t clientTime = 0;  // as the client's list chunk claims
  uint32_t receivedAt = 0;  // the server's own clock when it was stored
  uint32_t files = 0;
  uint64_t size = 0;
  uint32_t listBytes = 0;
  uint16_t copyCount = 0;
  uint16_t retentionDays = 0;
};

enum class Lookup { kFound, kAbsent, kFailed };

// A stored copy as a list request answers it.
struct CopyListing {
  uint32_t copy = 0;
  uint32_t time = 0;  // as the client's list chunk gave it
  uint32_t files = 0;
  uint64_t size = 0;
  ByteBuffer list;  // the list record as received
};

// A completed copy as its list chunk delivers it, checked for shape. The
// byte fields are views into the received chunk, which outlives the commit.
struct NewCopy {
  uint32_t time = 0;
  uint32_t files = 0;
  uint64_t size = 0;
  uint32_t sectionCounter = 0;
  std::span<const uint8_t> list;
  std::span<const uint8_t> unusedSections;    // A
  std::span<const uint8_t> usedSections;      // B
  std::span<const uint8_t> orphanedSections;  // C
  std::span<const uint8_t> sealedLog;
  std::span<const uint8_t> logTag;
  uint16_t copyCount = 0;
  uint16_t retentionDays = 0;
  uint32_t receivedAt = 0;  // the server's clock
};

enum class CommitOutcome {
  kStored,
  kMissingSection,  // B names a section the store does not hold
  kBadSections,     // A, B or C is not a count followed by that many numbers
  kFailed,
};

struct CommitResult {
  CommitOutcome outcome = CommitOutcome::kFailed;
  uint32_t copy = 0;     // the new copy's number, with kStored
  uint32_t missing = 0;  // with kMissingSection
  uint32_t dropped = 0;  // section records deleted with the commit
};

enum class DeleteOutcome {
  kDeleted,
  kNotArchived,  // a number is not an archived copy's
  kProtected,    // a copy is within its protected days
  kFailed,
};

struct DeleteResult {
  DeleteOutcome outcome = DeleteOutcome::kFailed;
  uint32_t refused = 0;  // the copy number refused, with kNotArchived or kProtected
  uint32_t dropped = 0;  // section records deleted
};

// Reads a set of numbers: a u32 count followed by exactly that many u32
// numbers. Nothing when the bytes are not exactly that.
std::optional<std::vector<uint32_t>> readSectionSet(std::span<const uint8_t> bytes);

// A copy is protected while `protectDays` (0: none) of the server's own
// clock have not passed since the server received it.
bool isProtected(const CopySummary& copy, uint32_t protectDays, uint32_t now);

// How many of the newest copies are current: the newest copy's copy count
// parameter, 20 when that is 0. Every older copy is archived.
uint32_t currentCopies(const std::vector<CopySummary>& newestFirst);

class AccountBackups {
 public:
  virtual ~AccountBackups() = default;

  // Stores an upload of the copy in progress under `number`, replacing an
  // earlier upload of the same number, unless a stored copy uses the number
  // or the account would pass `reservedBytes`.
  virtual UploadResult putSection(uint32_t number, std::span<const uint8_t> record,
                                  uint64_t reservedBytes) = 0;
  // A section record the store holds (of a stored copy or an upload).
  virtual Lookup getSection(uint32_t number, ByteBuffer* record) = 0;
  // The copy `selector` steps back from the newest (0: the newest).
  virtual Lookup copyBySelector(uint32_t selector, CopyListing* copy) = 0;
  // Stores a completed copy and deletes the sections it leaves unused (A, C
  // and uploads B does not name) unless a stored copy uses them; the copy
  // and the deletions take effect together or not at all.
  virtual CommitResult commitCopy(const NewCopy& copy) = 0;

  // The archived copies, newest first.
  virtual std::optional<std::vector<CopySummary>> archived() = 0;
  // Deletes the archived copies numbered `copies`, all or none: refused
  // when one is not an archived copy or is protected (`protectDays`,
  // counted to `now`). Sections no remaining copy uses go with them.
  virtual DeleteResult deleteArchived(const std::vector<uint32_t>& copies, uint32_t protectDays,
                                      uint32_t now) = 0;
  // Retention, after a new copy of client time `newest`: the archived copies
  // whose time plus their retention days (30 when 0) lies before it, except
  // protected ones. `*expired` gets the numbers deleted and `*kept` those
  // kept for protection; false when the store failed.
  virtual bool expire(uint32_t newest, uint32_t protectDays, uint32_t now,
                      std::vector<uint32_t>* expired, std::vector<uint32_t>* kept) = 0;
};

class BackupStore {
 public:
  virtual ~BackupStore() = default;
  // The account's backups, shared by every connection of the account that
  // holds it; null when they cannot be opened.
  virtual std::shared_ptr<AccountBackups> account(uint32_t number) = 0;
};

}  // namespace vl
