// PackedBackupStore: each account's records in a pack store of its own
// (CopyStore, under <folder>/<account>), described by the copy catalogue in
// the account database.
//
// A CopyStore admits one writer, so the accounts open in this process are
// kept in a table and every connection of an account shares its object; the
// store closes when the last connection lets go. Each account's uploads and
// commits are serialised by the account's own mutex; reads run alongside.
//
// An upload is durable once its record is: the catalogue row that follows
// is written without waiting for the disk. So when an account's store
// opens (no upload or commit of it under way), a section record that the
// catalogue does not name is either a leftover of a drop cut off after its
// commit (the catalogue lists those until the drop is synced), removed
// then, or an upload whose row was lost, catalogued again. An upload cut
// off before its answer is catalogued too, as if it had been answered: it
// counts until the next copy completes without it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "server/storage/backup_store.h"

namespace vl {

class CopyStore;
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
  // Brings the catalogue of uploads in line with the account's records.
  void reconcile(uint32_t account, CopyStore& store);

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
