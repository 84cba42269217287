#include "server/storage/sqlite_copy_catalog.h"

#include <sqlite3.h>

#include <algorithm>

#include "server/accounts/sqlite_statement.h"

namespace vl {

const char* const kCopyCatalogSchema = R"sql(
CREATE TABLE IF NOT EXISTS stored_copies(
  id INTEGER PRIMARY KEY,
  account INTEGER NOT NULL,
  copy INTEGER NOT NULL,
  client_time INTEGER NOT NULL,
  received_at INTEGER NOT NULL,
  files INTEGER NOT NULL,
  size INTEGER NOT NULL,
  section_counter INTEGER NOT NULL,
  list_bytes INTEGER NOT NULL,
  copy_count INTEGER NOT NULL,
  retention_days INTEGER NOT NULL,
  unused_sections BLOB NOT NULL,
  used_sections BLOB NOT NULL,
  orphaned_sections BLOB NOT NULL,
  sealed_log BLOB NOT NULL,
  log_tag BLOB NOT NULL,
  UNIQUE(account, copy));
CREATE TABLE IF NOT EXISTS stored_sections(
  account INTEGER NOT NULL,
  number INTEGER NOT NULL,
  bytes INTEGER NOT NULL,
  uses INTEGER NOT NULL,
  PRIMARY KEY(account, number)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS pending_sections ON stored_sections(account) WHERE uses = 0;
CREATE TABLE IF NOT EXISTS dropping_sections(
  account INTEGER NOT NULL,
  number INTEGER NOT NULL,
  PRIMARY KEY(account, number)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS account_bytes(
  account INTEGER PRIMARY KEY,
  used INTEGER NOT NULL,
  pending INTEGER NOT NULL);
)sql";

std::unique_ptr<SqliteCopyCatalog> SqliteCopyCatalog::open(const std::string& path) {
  sqlite3* db = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return nullptr;
  }
  std::unique_ptr<SqliteCopyCatalog> catalog(new SqliteCopyCatalog(db));
  sqlite3_busy_timeout(db, 10000);
  Statement wal(db, "PRAGMA journal_mode=WAL");
  if (wal.step() != SQLITE_ROW || wal.text(0) != "wal") return nullptr;
  if (sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_exec(db, kCopyCatalogSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
    return nullptr;
  }
  Statement level(db, "PRAGMA synchronous");
  if (level.step() != SQLITE_ROW || level.integer(0) != 1) return nullptr;
  return catalog;
}

// Runs the transactions of its lifetime with synchronous FULL: their commit
// syncs the log, and with it every NORMAL commit before them.
class SqliteCopyCatalog::FullSync {
 public:
  explicit FullSync(sqlite3* db)
      : db_(db),
        set_(sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr) == SQLITE_OK) {}
  ~FullSync() { sqlite3_exec(db_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr); }
  FullSync(const FullSync&) = delete;
  FullSync& operator=(const FullSync&) = delete;
  bool set() const { return set_; }

 private:
  sqlite3* db_;
  bool set_;
};

SqliteCopyCatalog::~SqliteCopyCatalog() { sqlite3_close(db_); }

SectionUse SqliteCopyCatalog::section(uint32_t account, uint32_t number, uint32_t* bytes) {
  std::lock_guard lock(mutex_);
  Statement select(db_, "SELECT bytes, uses FROM stored_sections WHERE account = ? AND number = ?");
  select.bind(1, account).bind(2, number);
  const int found = select.step();
  if (found == SQLITE_DONE) return SectionUse::kAbsent;
  if (found != SQLITE_ROW) return SectionUse::kFailed;
  if (bytes) *bytes = static_cast<uint32_t>(select.integer(0));
  return select.integer(1) > 0 ? SectionUse::kUsed : SectionUse::kPending;
}

bool SqliteCopyCatalog::totals(uint32_t account, uint64_t* used, uint64_t* pending) {
  std::lock_guard lock(mutex_);
  Statement select(db_, "SELECT used, pending FROM account_bytes WHERE account = ?");
  select.bind(1, account);
  const int found = select.step();
  if (found != SQLITE_ROW && found != SQLITE_DONE) return false;
  *used = found == SQLITE_ROW ? static_cast<uint64_t>(select.integer(0)) : 0;
  *pending = found == SQLITE_ROW ? static_cast<uint64_t>(select.integer(1)) : 0;
  return true;
}

bool SqliteCopyCatalog::ensureTotals(uint32_t account) {
  Statement insert(db_,
                   "INSERT OR IGNORE INTO account_bytes(account, used, pending) VALUES(?, 0, 0)");
  insert.bind(1, account);
  return insert.run();
}

bool SqliteCopyCatalog::addBytes(uint32_t account, int64_t used, int64_t pending,
                                 bool clearPending) {
  if (!ensureTotals(account)) return false;
  Statement update(db_, clearPending
                            ? "UPDATE account_bytes SET used = used + ?, pending = 0 "
                              "WHERE account = ?"
                            : "UPDATE account_bytes SET used = used + ?, pending = pending + ? "
                              "WHERE account = ?");
  if (clearPending) {
    update.bind(1, used).bind(2, account);
  } else {
    update.bind(1, used).bind(2, pending).bind(3, account);
  }
  return update.run();
}

bool SqliteCopyCatalog::recordUpload(uint32_t account, uint32_t number, uint32_t bytes,
                                     uint64_t* pending) {
  std::lock_guard lock(mutex_);
  Transaction transaction(db_);
  if (!transaction.began()) return false;
  Statement select(db_, "SELECT bytes, uses FROM stored_sections WHERE account = ? AND number = ?");
  select.bind(1, account).bind(2, number);
  const int found = select.step();
  if (found != SQLITE_ROW && found != SQLITE_DONE) return false;
  int64_t replaced = 0;
  if (found == SQLITE_ROW) {
    if (select.integer(1) > 0) return false;
    replaced = select.integer(0);
  }
  Statement insert(db_, "INSERT OR REPLACE INTO stored_sections(account, number, bytes, uses) "
                        "VALUES(?, ?, ?, 0)");
  insert.bind(1, account).bind(2, number).bind(3, bytes);
  const int64_t change = static_cast<int64_t>(bytes) - replaced;
  if (!insert.run() || !addBytes(account, change, change)) return false;
  Statement after(db_, "SELECT pending FROM account_bytes WHERE account = ?");
  after.bind(1, account);
  if (after.step() != SQLITE_ROW) return false;
  *pending = static_cast<uint64_t>(after.integer(0));
  return transaction.commit();
}

std::optional<std::vector<CopySummary>> SqliteCopyCatalog::copies(uint32_t account) {
  std::lock_guard lock(mutex_);
  Statement select(db_,
                   "SELECT copy, client_time, received_at, files, size, list_bytes, copy_count, "
                   "retention_days FROM stored_copies WHERE account = ? ORDER BY copy DESC");
  select.bind(1, account);
  std::vector<CopySummary> copies;
  int step;
  while ((step = select.step()) == SQLITE_ROW) {
    CopySummary copy;
    copy.copy = static_cast<uint32_t>(select.integer(0));
    copy.clientTime = static_cast<uint32_t>(select.integer(1));
    copy.receivedAt = static_cast<uint32_t>(select.integer(2));
    copy.files = static_cast<uint32_t>(select.integer(3));
    copy.size = static_cast<uint64_t>(select.integer(4));
    copy.listBytes = static_cast<uint32_t>(select.integer(5));
    copy.copyCount = static_cast<uint16_t>(select.integer(6));
    copy.retentionDays = static_cast<uint16_t>(select.integer(7));
    copies.push_back(copy);
  }
  if (step != SQLITE_DONE) return std::nullopt;
  return copies;
}

std::optional<uint32_t> SqliteCopyCatalog::nextCopyNumber(uint32_t account) {
  std::lock_guard lock(mutex_);
  Statement select(db_, "SELECT COALESCE(MAX(copy), 0) FROM stored_copies WHERE account = ?");
  select.bind(1, account);
  if (select.step() != SQLITE_ROW || select.integer(0) >= UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(select.integer(0) + 1);
}

CatalogCommit SqliteCopyCatalog::commit(uint32_t account, const CopyRow& row,
                                        const std::vector<uint32_t>& used,
                                        const std::vector<uint32_t>& released, uint32_t* missing,
                                        std::vector<uint32_t>* drop) {
  std::lock_guard lock(mutex_);
  drop->clear();
  const FullSync durable(db_);
  if (!durable.set()) return CatalogCommit::kFailed;
  Transaction transaction(db_);
  if (!transaction.began()) return CatalogCommit::kFailed;
  const CopySummary& copy = row.summary;
  Statement insert(db_,
                   "INSERT INTO stored_copies(account, copy, client_time, received_at, files, "
                   "size, section_counter, list_bytes, copy_count, retention_days, "
                   "unused_sections, used_sections, orphaned_sections, sealed_log, log_tag) "
                   "VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  insert.bind(1, account)
      .bind(2, copy.copy)
      .bind(3, copy.clientTime)
      .bind(4, copy.receivedAt)
      .bind(5, copy.files)
      .bind(6, static_cast<int64_t>(copy.size))
      .bind(7, row.sectionCounter)
      .bind(8, copy.listBytes)
      .bind(9, copy.copyCount)
      .bind(10, copy.retentionDays)
      .bind(11, row.unusedSections)
      .bind(12, row.usedSections)
      .bind(13, row.orphanedSections)
      .bind(14, row.sealedLog)
      .bind(15, row.logTag);
  if (!insert.run()) return CatalogCommit::kFailed;

  Statement use(db_, "UPDATE stored_sections SET uses = uses + 1 WHERE account = ? AND number = ?");
  for (uint32_t number : used) {
    use.reset();
    use.bind(1, account).bind(2, number);
    if (!use.run()) return CatalogCommit::kFailed;
    if (sqlite3_changes(db_) != 1) {
      *missing = number;
      return CatalogCommit::kMissingSection;
    }
  }

  // Every row no stored copy names now goes: pending uploads this copy does
  // not use, and whatever of A and C was one.
  int64_t freed = 0;
  Statement unused(db_, "SELECT number, bytes FROM stored_sections WHERE account = ? AND uses = 0");
  unused.bind(1, account);
  int step;
  while ((step = unused.step()) == SQLITE_ROW) {
    drop->push_back(static_cast<uint32_t>(unused.integer(0)));
    freed += unused.integer(1);
  }
  if (step != SQLITE_DONE) return CatalogCommit::kFailed;
  Statement erase(db_, "DELETE FROM stored_sections WHERE account = ? AND uses = 0");
  erase.bind(1, account);
  if (!erase.run()) return CatalogCommit::kFailed;
  // Numbers of A and C without a row may still have a record left in the
  // pack store (an upload cut off before its row was written).
  Statement known(db_, "SELECT 1 FROM stored_sections WHERE account = ? AND number = ?");
  for (uint32_t number : released) {
    known.reset();
    known.bind(1, account).bind(2, number);
    const int found = known.step();
    if (found == SQLITE_DONE) drop->push_back(number);
    if (found != SQLITE_ROW && found != SQLITE_DONE) return CatalogCommit::kFailed;
  }
  std::sort(drop->begin(), drop->end());
  drop->erase(std::unique(drop->begin(), drop->end()), drop->end());
  if (!addBytes(account, static_cast<int64_t>(copy.listBytes) - freed, 0, true) ||
      !markDropping(account, *drop) || !transaction.commit()) {
    drop->clear();
    return CatalogCommit::kFailed;
  }
  return CatalogCommit::kStored;
}

CatalogDelete SqliteCopyCatalog::deleteCopies(uint32_t account,
                                              const std::vector<uint32_t>& copies,
                                              Release* release) {
  std::lock_guard lock(mutex_);
  *release = Release{};
  const FullSync durable(db_);
  if (!durable.set()) return CatalogDelete::kFailed;
  Transaction transaction(db_);
  if (!transaction.began()) return CatalogDelete::kFailed;
  Statement select(db_, "SELECT used_sections, list_bytes FROM stored_copies "
                        "WHERE account = ? AND copy = ?");
  Statement erase(db_, "DELETE FROM stored_copies WHERE account = ? AND copy = ?");
  Statement unuse(db_, "UPDATE stored_sections SET uses = uses - 1 "
                       "WHERE account = ? AND number = ? AND uses > 0");
  Statement left(db_, "SELECT uses, bytes FROM stored_sections WHERE account = ? AND number = ?");
  Statement drop(db_, "DELETE FROM stored_sections WHERE account = ? AND number = ?");
  int64_t freed = 0;
  for (uint32_t copy : copies) {
    select.reset();
    select.bind(1, account).bind(2, copy);
    const int found = select.step();
    if (found == SQLITE_DONE) return CatalogDelete::kNotStored;
    if (found != SQLITE_ROW) return CatalogDelete::kFailed;
    const ByteBuffer usedBytes = select.blob(0);
    freed += select.integer(1);
    const std::optional<std::vector<uint32_t>> used = readSectionSet(usedBytes.span());
    if (!used) return CatalogDelete::kFailed;
    erase.reset();
    erase.bind(1, account).bind(2, copy);
    if (!erase.run()) return CatalogDelete::kFailed;
    // Each number once: a set with a number twice would take two users.
    std::vector<uint32_t> numbers = *used;
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    for (uint32_t number : numbers) {
      unuse.reset();
      unuse.bind(1, account).bind(2, number);
      if (!unuse.run()) return CatalogDelete::kFailed;
      if (sqlite3_changes(db_) != 1) continue;  // gone with an earlier copy of this call
      left.reset();
      left.bind(1, account).bind(2, number);
      if (left.step() != SQLITE_ROW) return CatalogDelete::kFailed;
      if (left.integer(0) > 0) continue;
      freed += left.integer(1);
      drop.reset();
      drop.bind(1, account).bind(2, number);
      if (!drop.run()) return CatalogDelete::kFailed;
      release->dropped.push_back(number);
    }
  }
  if (!addBytes(account, -freed, 0) || !markDropping(account, release->dropped) ||
      !transaction.commit()) {
    *release = Release{};
    return CatalogDelete::kFailed;
  }
  release->freedBytes = static_cast<uint64_t>(freed);
  return CatalogDelete::kDeleted;
}

bool SqliteCopyCatalog::markDropping(uint32_t account, const std::vector<uint32_t>& numbers) {
  Statement insert(db_, "INSERT OR IGNORE INTO dropping_sections(account, number) VALUES(?, ?)");
  for (uint32_t number : numbers) {
    insert.reset();
    insert.bind(1, account).bind(2, number);
    if (!insert.run()) return false;
  }
  return true;
}

std::optional<std::vector<uint32_t>> SqliteCopyCatalog::droppingSections(uint32_t account) {
  std::lock_guard lock(mutex_);
  Statement select(db_, "SELECT number FROM dropping_sections WHERE account = ? ORDER BY number");
  select.bind(1, account);
  std::vector<uint32_t> numbers;
  int step;
  while ((step = select.step()) == SQLITE_ROW) {
    numbers.push_back(static_cast<uint32_t>(select.integer(0)));
  }
  if (step != SQLITE_DONE) return std::nullopt;
  return numbers;
}

bool SqliteCopyCatalog::clearDropping(uint32_t account) {
  std::lock_guard lock(mutex_);
  const FullSync durable(db_);
  Statement erase(db_, "DELETE FROM dropping_sections WHERE account = ?");
  erase.bind(1, account);
  return durable.set() && erase.run();
}

std::optional<std::vector<uint32_t>> SqliteCopyCatalog::catalogued() {
  std::lock_guard lock(mutex_);
  Statement select(db_, "SELECT account FROM stored_copies UNION SELECT account FROM "
                        "stored_sections UNION SELECT account FROM account_bytes ORDER BY 1");
  std::vector<uint32_t> accounts;
  int step;
  while ((step = select.step()) == SQLITE_ROW) {
    accounts.push_back(static_cast<uint32_t>(select.integer(0)));
  }
  if (step != SQLITE_DONE) return std::nullopt;
  return accounts;
}

std::optional<std::vector<SectionRow>> SqliteCopyCatalog::sectionRows(uint32_t account) {
  std::lock_guard lock(mutex_);
  Statement select(db_, "SELECT number, bytes, uses FROM stored_sections WHERE account = ? "
                        "ORDER BY number");
  select.bind(1, account);
  std::vector<SectionRow> rows;
  int step;
  while ((step = select.step()) == SQLITE_ROW) {
    rows.push_back(SectionRow{static_cast<uint32_t>(select.integer(0)),
                              static_cast<uint32_t>(select.integer(1)),
                              static_cast<uint32_t>(select.integer(2))});
  }
  if (step != SQLITE_DONE) return std::nullopt;
  return rows;
}

bool SqliteCopyCatalog::usedSets(
    uint32_t account,
    const std::function<void(uint32_t copy, std::span<const uint8_t> used)>& visit) {
  std::lock_guard lock(mutex_);
  Statement select(db_, "SELECT copy, used_sections FROM stored_copies WHERE account = ? "
                        "ORDER BY copy");
  select.bind(1, account);
  int step;
  while ((step = select.step()) == SQLITE_ROW) {
    const ByteBuffer used = select.blob(1);
    visit(static_cast<uint32_t>(select.integer(0)), used.span());
  }
  return step == SQLITE_DONE;
}

}  // namespace vl
