// The table of open accounts behind the backup store: every connection of
// an account shares one object, and one whose last connection is just going
// never keeps the next from opening the account.
#include "server/storage/packed_backup_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <thread>
#include <vector>

#include "server/storage/sqlite_copy_catalog.h"
#include "server/store/copy_store.h"
#include "support/temp_dir.h"

namespace vl {
namespace {

TEST(PackedBackupStoreTest, ConnectionsOfOneAccountShareItsObject) {
  test::TempDir dir;
  auto catalog = SqliteCopyCatalog::open(dir.file("accounts.db"));
  PackedBackupStore store(dir.file("backups"), catalog.get(), nullptr);
  std::shared_ptr<AccountBackups> first = store.account(1);
  ASSERT_TRUE(first);
  EXPECT_EQ(store.account(1), first);
  EXPECT_NE(store.account(2), first);
}

TEST(PackedBackupStoreTest, ConnectionsComingAndGoingAtOnceAlwaysGetTheAccount) {
  test::TempDir dir;
  auto catalog = SqliteCopyCatalog::open(dir.file("accounts.db"));
  PackedBackupStore store(dir.file("backups"), catalog.get(), nullptr);
  std::atomic<int> refused{0};
  auto connections = [&] {
    for (int i = 0; i < 2000; ++i) {
      if (!store.account(7)) ++refused;
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) threads.emplace_back(connections);
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(refused.load(), 0);
}

// Stands in for a power loss that took the catalogue's last rows, written
// without waiting for the disk, while the records they describe stayed.
void runSql(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

std::vector<uint8_t> record(size_t size, uint8_t fill) { return std::vector<uint8_t>(size, fill); }

TEST(PackedBackupStoreTest, UploadsWhoseRowsWereLostAreCataloguedAgainWhenTheAccountOpens) {
  test::TempDir dir;
  const std::string db = dir.file("accounts.db");
  auto catalog = SqliteCopyCatalog::open(db);
  PackedBackupStore store(dir.file("backups"), catalog.get(), nullptr);
  constexpr uint64_t kRoom = 1 << 20;
  {
    std::shared_ptr<AccountBackups> account = store.account(3);
    ASSERT_TRUE(account);
    ASSERT_EQ(account->putSection(1, record(100, 1), kRoom).outcome, UploadOutcome::kStored);
    ASSERT_EQ(account->putSection(2, record(200, 2), kRoom).outcome, UploadOutcome::kStored);
    ASSERT_EQ(account->putSection(2, record(250, 3), kRoom).outcome, UploadOutcome::kStored);
    ASSERT_EQ(account->putSection(4, record(40, 4), kRoom).outcome, UploadOutcome::kStored);
  }
  // Only the first row of section 2 reached the disk; the others were lost.
  runSql(db, "DELETE FROM stored_sections WHERE number <> 2;"
             "UPDATE stored_sections SET bytes = 200;"
             "UPDATE account_bytes SET used = 200, pending = 200;");
  std::shared_ptr<AccountBackups> account = store.account(3);
  ASSERT_TRUE(account);
  uint64_t used = 0;
  uint64_t pending = 0;
  ASSERT_TRUE(catalog->totals(3, &used, &pending));
  EXPECT_EQ(used, 390u);
  EXPECT_EQ(pending, 390u);
  EXPECT_EQ(catalog->section(3, 1), SectionUse::kPending);
  EXPECT_EQ(catalog->section(3, 4), SectionUse::kPending);
  // The copy may name every acknowledged upload.
  const std::vector<uint8_t> usedSet = {3, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 4, 0, 0, 0};
  const std::vector<uint8_t> none = {0, 0, 0, 0};
  NewCopy copy;
  copy.usedSections = usedSet;
  copy.unusedSections = none;
  copy.orphanedSections = none;
  const std::vector<uint8_t> list(64, 9);
  copy.list = list;
  EXPECT_EQ(account->commitCopy(copy).outcome, CommitOutcome::kStored);
}

TEST(PackedBackupStoreTest, RecordsACommitLetGoAreRemovedNotCataloguedWhenTheirDropWasCutOff) {
  test::TempDir dir;
  const std::string db = dir.file("accounts.db");
  auto catalog = SqliteCopyCatalog::open(db);
  PackedBackupStore store(dir.file("backups"), catalog.get(), nullptr);
  {
    std::shared_ptr<AccountBackups> account = store.account(5);
    ASSERT_TRUE(account);
    ASSERT_EQ(account->putSection(7, record(70, 7), 1 << 20).outcome, UploadOutcome::kStored);
  }
  // A commit let section 7 go; the server died before the record's drop.
  runSql(db, "DELETE FROM stored_sections; UPDATE account_bytes SET used = 0, pending = 0;"
             "INSERT INTO dropping_sections(account, number) VALUES(5, 7);");
  ASSERT_TRUE(store.account(5));
  EXPECT_EQ(catalog->section(5, 7), SectionUse::kAbsent);
  EXPECT_EQ(catalog->droppingSections(5)->size(), 0u);
  std::optional<CopyStore> records = CopyStore::openForReading(store.accountFolder(5));
  ASSERT_TRUE(records);
  EXPECT_FALSE(records->hasSection(7));
}

}  // namespace
}  // namespace vl
