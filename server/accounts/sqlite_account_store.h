// SqliteAccountStore: the account store in one SQLite database file.
//
// The database runs in WAL mode with synchronous FULL, so a committed
// transaction is on the disk when the call returns: the server may then
// answer. One connection is shared by all threads and used under one mutex;
// the server's requests are small, and a single writer is what SQLite
// serialises to anyway.
//
// Tables: accounts; replaced_installations (ids a recovery replaced);
// used_starts (digests of admitted start chunks, so a recorded one cannot be
// played again); copies (one row per stored copy, for the usage figures).
//
// A start chunk carries no time, so the replay check cannot forget digests
// by age; it keeps the newest keptStartsPerAccount of each account (numbered
// in the order used) and forgets older ones. Only the account's own signed
// starts push a digest out, and at the default a start chunk is refused
// again for the next 10 000 exchanges of its account (years of daily use).
#pragma once

#include <memory>
#include <mutex>
#include <string>

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

 private:
  explicit SqliteAccountStore(sqlite3* db) : db_(db) {}
  bool exec(const char* sql);
  bool usageLocked(uint32_t account, AccountUsage* usage);
  // Numbers the used-start digests in databases made before they were.
  bool addStartOrder();

  std::mutex mutex_;
  sqlite3* db_;  // guarded by mutex_
  uint32_t kept_starts_ = kKeptStartsPerAccount;
};

}  // namespace vl
