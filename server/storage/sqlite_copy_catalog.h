// SqliteCopyCatalog: what the server knows about each account's stored
// copies and section records, in the account database.
//
// The record bytes live in the account's pack store; the catalogue says
// which of them count. A section row is written only after its record is
// durable, and a copy row only after its list record is, so whatever the
// catalogue names can be read; records the catalogue does not name (an
// upload cut off before its row, a drop cut off after the commit) are
// leftovers that no answer ever uses.
//
// A section row counts the stored copies whose set of used sections names
// it; 0 means uploaded since the account's last completed copy and not yet
// part of one. Per account the catalogue keeps the used bytes (section and
// list records) and the bytes uploaded since the last completed copy, so
// that neither needs a sum over every row. Copies are numbered 1, 2, ... per
// account and a number is never given twice: only archived copies are ever
// deleted, and the newest copy is never archived.
//
// Every change is one transaction; calls are serialised by a mutex and may
// come from any thread. Commits of copies, deletions and the clearing of
// drops run with synchronous FULL. Upload rows are written with synchronous
// NORMAL: their record in the pack store is the durable account of the
// upload, so a row lost with the power is written again from the packs when
// the account's store next opens (see droppingSections), and a later FULL
// commit makes every row before it durable.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/byte_buffer.h"
#include "server/storage/backup_store.h"

struct sqlite3;

namespace vl {

// The tables of the catalogue; the account store creates them as well,
// since it reads the usage figures from them.
extern const char* const kCopyCatalogSchema;

// Everything a completed copy is stored with besides its list record.
struct CopyRow {
  CopySummary summary;
  uint32_t sectionCounter = 0;
  // Views of the bytes as received.
  std::span<const uint8_t> unusedSections;    // A: the previous copy's sections it no longer uses
  std::span<const uint8_t> usedSections;      // B: the sections this copy uses
  std::span<const uint8_t> orphanedSections;  // C: restart sections this run did not use
  std::span<const uint8_t> sealedLog;
  std::span<const uint8_t> logTag;
};

enum class SectionUse { kAbsent, kPending, kUsed, kFailed };

enum class CatalogCommit { kStored, kMissingSection, kFailed };

// What deleting copies did to the sections they used.
struct Release {
  std::vector<uint32_t> dropped;  // no stored copy names them any more
  uint64_t freedBytes = 0;
};

enum class CatalogDelete { kDeleted, kNotStored, kFailed };

// One section row, for the data check.
struct SectionRow {
  uint32_t number = 0;
  uint32_t bytes = 0;
  uint32_t uses = 0;
};

class SqliteCopyCatalog {
 public:
  // Opens its own connection to the account database at `path`; null when
  // it cannot be opened or set up.
  static std::unique_ptr<SqliteCopyCatalog> open(const std::string& path);
  ~SqliteCopyCatalog();
  SqliteCopyCatalog(const SqliteCopyCatalog&) = delete;
  SqliteCopyCatalog& operator=(const SqliteCopyCatalog&) = delete;

  // How section `number` stands; `*bytes` gets its record size when present.
  SectionUse section(uint32_t account, uint32_t number, uint32_t* bytes = nullptr);
  // The account's used bytes and the bytes uploaded since its last copy.
  bool totals(uint32_t account, uint64_t* used, uint64_t* pending);
  // Records a durable upload of `bytes` under `number`, replacing a pending
  // one; `*pending` gets the bytes uploaded since the last copy. Refused
  // (false) for a number a stored copy uses.
  bool recordUpload(uint32_t account, uint32_t number, uint32_t bytes, uint64_t* pending);

  // Every stored copy of the account, newest first; nothing on a failure.
  std::optional<std::vector<CopySummary>> copies(uint32_t account);
  // The number the account's next copy gets.
  std::optional<uint32_t> nextCopyNumber(uint32_t account);

  // Stores `row` (its list record already durable) as the next copy, in one
  // transaction with its consequences: every section `used` names (sorted,
  // each once) gains a user, and every section then used by no stored copy
  // is deleted: the pending uploads this copy does not use, and whatever of
  // `released` (A and C) no copy names. `*drop` gets the numbers whose
  // records may go from the pack store. kMissingSection, with the number in
  // `*missing`, when `used` names a section the catalogue does not hold.
  CatalogCommit commit(uint32_t account, const CopyRow& row, const std::vector<uint32_t>& used,
                       const std::vector<uint32_t>& released, uint32_t* missing,
                       std::vector<uint32_t>* drop);

  // Deletes the stored copies `copies` in one transaction: each section they
  // use loses a user, and a section left with none goes (uploads of the
  // copy in progress, which no stored copy names, are not touched).
  // kNotStored when one of them is not a stored copy of the account.
  CatalogDelete deleteCopies(uint32_t account, const std::vector<uint32_t>& copies,
                             Release* release);

  // The sections whose records a commit or deletion let go and whose drop
  // from the pack store is not yet known to be durable, ascending: a record
  // the catalogue does not name is one of these (a leftover) or an upload
  // whose row was lost. clearDropping forgets them, durably, once their
  // drops are synced.
  std::optional<std::vector<uint32_t>> droppingSections(uint32_t account);
  bool clearDropping(uint32_t account);

  // For the data check: the accounts with any copy, section or figures,
  // ascending; their section rows; each stored copy's set of used sections.
  std::optional<std::vector<uint32_t>> catalogued();
  std::optional<std::vector<SectionRow>> sectionRows(uint32_t account);
  bool usedSets(uint32_t account,
                const std::function<void(uint32_t copy, std::span<const uint8_t> used)>& visit);

 private:
  explicit SqliteCopyCatalog(sqlite3* db) : db_(db) {}
  class FullSync;
  bool ensureTotals(uint32_t account);
  bool markDropping(uint32_t account, const std::vector<uint32_t>& numbers);
  bool addBytes(uint32_t account, int64_t used, int64_t pending, bool clearPending = false);

  std::mutex mutex_;
  sqlite3* db_;  // guarded by mutex_
};

}  // namespace vl
