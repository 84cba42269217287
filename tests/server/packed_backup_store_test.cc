// The table of open accounts behind the backup store: every connection of
// an account shares one object, and one whose last connection is just going
// never keeps the next from opening the account.
#include "server/storage/packed_backup_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "server/storage/sqlite_copy_catalog.h"
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

}  // namespace
}  // namespace vl
