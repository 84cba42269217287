// SqliteAccountStore: the account store in one SQLite database file.
//
// The database runs in WAL mode with synchronous FULL, so a committed
// transaction is on the disk when the call returns: the server may then
// answer. The connections are shared by all threads and used under one
// mutex; the server's requests are small, and a single writer is what SQLite
// serialises to anyway.
//
// The used-start digests alone go through a second connection with
// synchronous NORMAL: its commits in WAL mode are atomic and consistent but
// do not wait for the disk, which would otherwise cost every admitted start
// one flush. Until the next FULL commit of the main connection (or a
// checkpoint) syncs the log, a power cut may lose the newest such rows, and a
// start admitted in the last moments before it could then be admitted once
// more. What such a replay gets is still only the original client's keys,
// sealed for that client. Within one run a replay is refused even before its
// row is on the disk: the newest digests of each account are also kept in
// memory and consulted first. Accounts, installations and recoveries stay FULL.
//
// Tables: accounts; replaced_installations (ids a recovery replaced);
// used_starts (digests of admitted start chunks, so a recorded one cannot be
// played again); and the copy catalogue's tables (SqliteCopyCatalog), from
// which the usage figures are read.
//
// A start chunk carries no time, so the replay check cannot forget digests
// by age; it keeps the newest keptStartsPerAccount of each account (numbered
// in the order used) and forgets older ones. Only the account's own signed
// starts push a digest out, and at the default a start chunk is refused
// again for the next 10 000 exchanges of its account (years of daily use).
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "server/accounts/account_store.h"

struct sqlite3;

namespace vl {

class SqliteAccountStore final : public AccountStore {
 public:
  // Opens (creating when missing) the database at `path`; null when it
  // cannot be opened or set up.
  static constexpr uint32_t kKeptStartsPerAccount = 10000;

  static std::unique_ptr<SqliteAccountStore> open(
      const std::string& path, uint32_t keptStartsPerAccount = kKeptStartsPerAccount);
  ~SqliteAccountStore() override;
  SqliteAccountStore(const SqliteAccountStore&) = delete;
  SqliteAccountStore& operator=(const SqliteAccountStore&) = delete;

  CreateResult createAccount(const NewAccount& account, uint32_t maxAccounts) override;
  bool signingKey(uint32_t account, ByteBuffer* publicKey) override;
  InstallationStanding installation(uint32_t account,
                                    std::span<const uint8_t> installationId) override;
  [[nodiscard]] bool registerRecovery(uint32_t account,
                                      std::span<const uint8_t> installationId) override;
  StartUse useStart(uint32_t account, std::span<const uint8_t> digest) override;
  bool usage(uint32_t account, AccountUsage* usage) override;
  std::vector<AccountSummary> listAccounts() override;
  bool protectDays(uint32_t account, uint32_t* days) override;
  bool setProtectDays(uint32_t account, uint32_t days) override;

  // The synchronous level (0 off, 1 normal, 2 full, 3 extra) SQLite reports
  // for the main connection and for the used-starts one; -1 when unreadable.
  // For checking that only the replay record was relaxed.
  int mainSynchronous();
  int startsSynchronous();

 private:
  explicit SqliteAccountStore(sqlite3* db) : db_(db) {}
  bool exec(const char* sql);
  // The in-memory fast path of the replay check; see the header comment.
  bool recentlyUsed(uint32_t account, std::span<const uint8_t> digest) const;
  void rememberUsed(uint32_t account, std::span<const uint8_t> digest);
  StartUse recordStart(uint32_t account, std::span<const uint8_t> digest);
  bool usageLocked(uint32_t account, AccountUsage* usage);
  // Numbers the used-start digests in databases made before they were.
  bool addStartOrder();
  // Adds the per-account protection to databases made before it.
  bool addProtectDays();

  std::mutex mutex_;
  sqlite3* db_;                // guarded by mutex_; synchronous FULL
  sqlite3* starts_ = nullptr;  // guarded by mutex_; synchronous NORMAL, used_starts only
  uint32_t kept_starts_ = kKeptStartsPerAccount;
  // The newest digests of each account, oldest first; never more than the
  // database keeps, so whatever is found here the database refuses too.
  std::unordered_map<uint32_t, std::deque<ByteBuffer>> recent_;  // guarded by mutex_
};

}  // namespace vl
