#include "server/accounts/sqlite_account_store.h"

#include <sqlite3.h>

#include "server/accounts/sqlite_statement.h"
#include "server/storage/sqlite_copy_catalog.h"

#include <algorithm>
#include <string>

namespace vl {
namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS accounts(
  number INTEGER PRIMARY KEY AUTOINCREMENT,
  signing_key BLOB NOT NULL,
  setup_record BLOB NOT NULL,
  install_id BLOB,
  reserved_bytes INTEGER NOT NULL,
  created_at INTEGER NOT NULL,
  protect_days INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS replaced_installations(
  account INTEGER NOT NULL REFERENCES accounts(number),
  install_id BLOB NOT NULL,
  replaced_at INTEGER NOT NULL,
  PRIMARY KEY(account, install_id)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS used_starts(
  account INTEGER NOT NULL REFERENCES accounts(number),
  digest BLOB NOT NULL,
  used_order INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY(account, digest)) WITHOUT ROWID;
)sql";

// The first value that a PRAGMA gives back, as text; empty when it fails.
std::string pragmaValue(sqlite3* db, const char* sql) {
  Statement pragma(db, sql);
  return pragma.step() == SQLITE_ROW ? pragma.text(0) : std::string();
}

// WAL with the given synchronous level, read back: asking for a journal
// mode the file system cannot give leaves another one in place without an
// error, and the server must not answer "done" on a weaker promise than it
// makes.
bool makeDurable(sqlite3* db, const char* synchronous, const char* level) {
  return pragmaValue(db, "PRAGMA journal_mode=WAL") == "wal" &&
         sqlite3_exec(db, synchronous, nullptr, nullptr, nullptr) == SQLITE_OK &&
         pragmaValue(db, "PRAGMA synchronous") == level;
}

// Opens one connection to the account database; null when it cannot.
sqlite3* openConnection(const std::string& path) {
  sqlite3* db = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return nullptr;
  }
  // Another process (vl_server accounts) may read while the server writes.
  sqlite3_busy_timeout(db, 5000);
  return db;
}

int synchronousLevel(sqlite3* db) {
  const std::string value = pragmaValue(db, "PRAGMA synchronous");
  return value.size() == 1 && value[0] >= '0' && value[0] <= '3' ? value[0] - '0' : -1;
}

// How many digests of one account, and of how many accounts, the replay
// check keeps in memory besides the database: enough for the starts of one
// run that are not yet surely on the disk, small enough to stay flat.
constexpr size_t kRecentPerAccount = 64;
constexpr size_t kRecentAccounts = 1024;

bool sameBytes(const ByteBuffer& stored, std::span<const uint8_t> bytes) {
  return stored.size() == bytes.size() &&
         std::equal(bytes.begin(), bytes.end(), stored.span().begin());
}

}  // namespace

std::unique_ptr<SqliteAccountStore> SqliteAccountStore::open(const std::string& path,
                                                             uint32_t keptStartsPerAccount) {
  sqlite3* db = openConnection(path);
  if (!db) return nullptr;
  std::unique_ptr<SqliteAccountStore> store(new SqliteAccountStore(db));
  if (!makeDurable(db, "PRAGMA synchronous=FULL", "2") || !store->exec("PRAGMA foreign_keys=ON") ||
      !store->exec(kSchema) || !store->exec(kCopyCatalogSchema) || !store->addStartOrder() ||
      !store->addProtectDays()) {
    return nullptr;
  }
  // The replay record's own connection, opened once the schema is there.
  store->starts_ = openConnection(path);
  if (!store->starts_ || !makeDurable(store->starts_, "PRAGMA synchronous=NORMAL", "1") ||
      sqlite3_exec(store->starts_, "PRAGMA foreign_keys=ON", nullptr, nullptr, nullptr) !=
          SQLITE_OK) {
    return nullptr;
  }
  store->kept_starts_ = std::max<uint32_t>(keptStartsPerAccount, 1);
  return store;
}

SqliteAccountStore::~SqliteAccountStore() {
  sqlite3_close(starts_);
  sqlite3_close(db_);
}

int SqliteAccountStore::mainSynchronous() {
  std::lock_guard lock(mutex_);
  return synchronousLevel(db_);
}

int SqliteAccountStore::startsSynchronous() {
  std::lock_guard lock(mutex_);
  return synchronousLevel(starts_);
}

bool SqliteAccountStore::exec(const char* sql) {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

CreateResult SqliteAccountStore::createAccount(const NewAccount& account, uint32_t maxAccounts) {
  std::lock_guard lock(mutex_);
  CreateResult result;
  Transaction transaction(db_);
  if (!transaction.began()) return result;
  if (maxAccounts != 0) {
    Statement count(db_, "SELECT COUNT(*) FROM accounts");
    if (count.step() != SQLITE_ROW) return result;
    if (count.integer(0) >= maxAccounts) {
      result.outcome = CreateOutcome::kFull;
      return result;
    }
  }
  Statement insert(db_,
                   "INSERT INTO accounts(signing_key, setup_record, reserved_bytes, created_at) "
                   "VALUES(?, ?, ?, ?)");
  insert.bind(1, account.signingPublicKey.span())
      .bind(2, account.setupRecord.span())
      .bind(3, static_cast<int64_t>(account.reservedBytes))
      .bind(4, account.createdAt);
  if (!insert.run()) return result;
  const int64_t number = sqlite3_last_insert_rowid(db_);
  if (number <= 0 || number > UINT32_MAX || !transaction.commit()) return result;
  result.outcome = CreateOutcome::kCreated;
  result.number = static_cast<uint32_t>(number);
  return result;
}

bool SqliteAccountStore::signingKey(uint32_t account, ByteBuffer* publicKey) {
  std::lock_guard lock(mutex_);
  Statement select(db_, "SELECT signing_key FROM accounts WHERE number = ?");
  select.bind(1, account);
  if (select.step() != SQLITE_ROW) return false;
  *publicKey = select.blob(0);
  return true;
}

InstallationStanding SqliteAccountStore::installation(uint32_t account,
                                                      std::span<const uint8_t> installationId) {
  std::lock_guard lock(mutex_);
  Transaction transaction(db_);
  if (!transaction.began()) return InstallationStanding::kFailed;
  Statement select(db_, "SELECT install_id FROM accounts WHERE number = ?");
  select.bind(1, account);
  if (select.step() != SQLITE_ROW) return InstallationStanding::kFailed;
  if (!select.isNull(0)) {
    if (sameBytes(select.blob(0), installationId)) return InstallationStanding::kOwner;
    Statement replaced(
        db_, "SELECT 1 FROM replaced_installations WHERE account = ? AND install_id = ?");
    replaced.bind(1, account).bind(2, installationId);
    const int found = replaced.step();
    if (found == SQLITE_ROW) return InstallationStanding::kReplaced;
    return found == SQLITE_DONE ? InstallationStanding::kNewcomer : InstallationStanding::kFailed;
  }
  // The first installation to start an exchange becomes the owner, unless a
  // recovery already retired that id.
  Statement replaced(db_,
                     "SELECT 1 FROM replaced_installations WHERE account = ? AND install_id = ?");
  replaced.bind(1, account).bind(2, installationId);
  if (replaced.step() == SQLITE_ROW) return InstallationStanding::kReplaced;
  Statement update(db_, "UPDATE accounts SET install_id = ? WHERE number = ?");
  update.bind(1, installationId).bind(2, account);
  if (!update.run() || !transaction.commit()) return InstallationStanding::kFailed;
  return InstallationStanding::kOwner;
}

bool SqliteAccountStore::registerRecovery(uint32_t account,
                                          std::span<const uint8_t> installationId) {
  std::lock_guard lock(mutex_);
  Transaction transaction(db_);
  if (!transaction.began()) return false;
  Statement select(db_, "SELECT install_id FROM accounts WHERE number = ?");
  select.bind(1, account);
  if (select.step() != SQLITE_ROW) return false;
  if (!select.isNull(0)) {
    const ByteBuffer previous = select.blob(0);
    if (sameBytes(previous, installationId)) return true;
    Statement retire(db_,
                     "INSERT OR IGNORE INTO replaced_installations(account, install_id, "
                     "replaced_at) VALUES(?, ?, strftime('%s','now'))");
    retire.bind(1, account).bind(2, previous.span());
    if (!retire.run()) return false;
  }
  Statement update(db_, "UPDATE accounts SET install_id = ? WHERE number = ?");
  update.bind(1, installationId).bind(2, account);
  return update.run() && transaction.commit();
}

bool SqliteAccountStore::addStartOrder() {
  // Databases made before the digests were numbered lack the column; their
  // digests get number 0 and are the first to go.
  Statement probe(db_, "SELECT used_order FROM used_starts LIMIT 0");
  if (!probe.ok() &&
      !exec("ALTER TABLE used_starts ADD COLUMN used_order INTEGER NOT NULL DEFAULT 0")) {
    return false;
  }
  return exec("CREATE INDEX IF NOT EXISTS used_starts_order ON used_starts(account, used_order)");
}

bool SqliteAccountStore::addProtectDays() {
  Statement probe(db_, "SELECT protect_days FROM accounts LIMIT 0");
  return probe.ok() ||
         exec("ALTER TABLE accounts ADD COLUMN protect_days INTEGER NOT NULL DEFAULT 0");
}

bool SqliteAccountStore::protectDays(uint32_t account, uint32_t* days) {
  std::lock_guard lock(mutex_);
  Statement select(db_, "SELECT protect_days FROM accounts WHERE number = ?");
  select.bind(1, account);
  if (select.step() != SQLITE_ROW) return false;
  *days = static_cast<uint32_t>(select.integer(0));
  return true;
}

bool SqliteAccountStore::setProtectDays(uint32_t account, uint32_t days) {
  std::lock_guard lock(mutex_);
  Statement update(db_, "UPDATE accounts SET protect_days = ? WHERE number = ?");
  update.bind(1, days).bind(2, account);
  return update.run() && sqlite3_changes(db_) == 1;
}

StartUse SqliteAccountStore::useStart(uint32_t account, std::span<const uint8_t> digest) {
  std::lock_guard lock(mutex_);
  if (recentlyUsed(account, digest)) return StartUse::kReplayed;
  const StartUse use = recordStart(account, digest);
  if (use == StartUse::kFresh) rememberUsed(account, digest);
  return use;
}

bool SqliteAccountStore::recentlyUsed(uint32_t account, std::span<const uint8_t> digest) const {
  const auto found = recent_.find(account);
  if (found == recent_.end()) return false;
  return std::any_of(found->second.begin(), found->second.end(),
                     [&](const ByteBuffer& used) { return sameBytes(used, digest); });
}

void SqliteAccountStore::rememberUsed(uint32_t account, std::span<const uint8_t> digest) {
  // Starting afresh when too many accounts are held loses nothing: the
  // forgotten digests are committed rows the database still refuses.
  if (recent_.size() >= kRecentAccounts && !recent_.contains(account)) recent_.clear();
  std::deque<ByteBuffer>& digests = recent_[account];
  digests.emplace_back(digest.data(), digest.size());
  // Never more than the database keeps, so a digest it has forgotten is
  // forgotten here too.
  while (digests.size() > std::min<size_t>(kRecentPerAccount, kept_starts_)) digests.pop_front();
}

StartUse SqliteAccountStore::recordStart(uint32_t account, std::span<const uint8_t> digest) {
  Transaction transaction(starts_);
  if (!transaction.began()) return StartUse::kFailed;
  Statement last(starts_, "SELECT COALESCE(MAX(used_order), 0) FROM used_starts WHERE account = ?");
  last.bind(1, account);
  if (last.step() != SQLITE_ROW) return StartUse::kFailed;
  const int64_t order = last.integer(0) + 1;
  Statement insert(starts_,
                   "INSERT OR IGNORE INTO used_starts(account, digest, used_order) VALUES(?, ?, ?)");
  insert.bind(1, account).bind(2, digest).bind(3, order);
  if (!insert.run()) return StartUse::kFailed;
  if (sqlite3_changes(starts_) != 1) return StartUse::kReplayed;
  // Only the newest kept_starts_ digests of an account stay; without this
  // the table would grow by one row for every exchange ever started.
  Statement forget(starts_, "DELETE FROM used_starts WHERE account = ? AND used_order <= ?");
  forget.bind(1, account).bind(2, order - kept_starts_);
  if (!forget.run() || !transaction.commit()) return StartUse::kFailed;
  return StartUse::kFresh;
}

bool SqliteAccountStore::usageLocked(uint32_t account, AccountUsage* usage) {
  Statement reserved(db_, "SELECT reserved_bytes FROM accounts WHERE number = ?");
  reserved.bind(1, account);
  if (reserved.step() != SQLITE_ROW) return false;
  AccountUsage figures;
  figures.reservedBytes = static_cast<uint64_t>(reserved.integer(0));
  Statement totals(db_,
                   "SELECT (SELECT COUNT(*) FROM stored_copies WHERE account = ?1), "
                   "(SELECT COALESCE(MAX(used), 0) FROM account_bytes WHERE account = ?1)");
  totals.bind(1, account);
  if (totals.step() != SQLITE_ROW) return false;
  figures.copies = static_cast<uint32_t>(totals.integer(0));
  figures.usedBytes = static_cast<uint64_t>(totals.integer(1));
  Statement latest(db_, "SELECT client_time, files, size FROM stored_copies WHERE account = ? "
                        "ORDER BY copy DESC LIMIT 1");
  latest.bind(1, account);
  const int found = latest.step();
  if (found == SQLITE_ROW) {
    figures.lastCopyTime = static_cast<uint32_t>(latest.integer(0));
    figures.lastCopyFiles = static_cast<uint32_t>(latest.integer(1));
    figures.lastCopySize = static_cast<uint64_t>(latest.integer(2));
  } else if (found != SQLITE_DONE) {
    return false;
  }
  *usage = figures;
  return true;
}

bool SqliteAccountStore::usage(uint32_t account, AccountUsage* usage) {
  std::lock_guard lock(mutex_);
  return usageLocked(account, usage);
}

std::vector<AccountSummary> SqliteAccountStore::listAccounts() {
  std::lock_guard lock(mutex_);
  std::vector<AccountSummary> accounts;
  Statement select(db_,
                   "SELECT number, created_at, setup_record, install_id IS NOT NULL, "
                   "(SELECT COUNT(*) FROM replaced_installations r WHERE r.account = number), "
                   "protect_days FROM accounts ORDER BY number");
  while (select.step() == SQLITE_ROW) {
    AccountSummary summary;
    summary.number = static_cast<uint32_t>(select.integer(0));
    summary.createdAt = static_cast<uint32_t>(select.integer(1));
    summary.setupRecord = select.blob(2);
    summary.installationRegistered = select.integer(3) != 0;
    summary.replacedInstallations = static_cast<uint32_t>(select.integer(4));
    summary.protectDays = static_cast<uint32_t>(select.integer(5));
    accounts.push_back(std::move(summary));
  }
  for (AccountSummary& summary : accounts) {
    if (!usageLocked(summary.number, &summary.usage)) summary.usage = AccountUsage{};
  }
  return accounts;
}

}  // namespace vl
