// PackedBackupStore: each account's records in a pack store of its own
// (CopyStore, under <folder>/<account>), described by the copy catalogue in
// the account database.
//
// A CopyStore admits one writer, so the accounts open in this process are
// kept in a table and every connection of an account shares its object; the
// store closes when the last connection lets go. Each account's uploads and
// commits are serialised by the account's own mutex; reads run alongside.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "server/storage/backup_store.h"

namespace vl {

class ServerLog;
class SqliteCopyCatalog;

class PackedBackupStore final : public BackupStore {
 public:
  // `catalog` and `log` (may be null) outlive the store and every account
  // object it hands out.
  PackedBackupStore(std::string folder, SqliteCopyCatalog* catalog, ServerLog* log);
  std::shared_ptr<AccountBackups> account(uint32_t number) override;

  // Where the records of `account` are kept.
  std::string accountFolder(uint32_t account) const;

 private:
  std::string folder_;
  SqliteCopyCatalog* catalog_;
  ServerLog* log_;
  // The open accounts. An account object is destroyed under the mutex (its
  // deleter takes it) and its entry goes with it; an entry whose object is
  // on its way out is waited for, so a store is never reopened while its
  // lock is still held.
  struct Table {
    std::mutex mutex;
    std::condition_variable closed;
    std::unordered_map<uint32_t, std::weak_ptr<AccountBackups>> open;
  };
  Table table_;
};

}  // namespace vl
