// The SQLite account store: numbering and the account limit, installations
// and recoveries, used start chunks, and that all of it is still there when
// the database is opened again.
#include "server/accounts/sqlite_account_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include "support/temp_dir.h"

namespace vl {
namespace {

NewAccount account(uint8_t tag) {
  NewAccount made;
  made.signingPublicKey = ByteBuffer(std::vector<uint8_t>(256, tag));
  made.setupRecord = ByteBuffer(std::string_view("record"));
  made.reservedBytes = uint64_t{7} << 30;
  made.createdAt = 1700000000;
  return made;
}

std::span<const uint8_t> id(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

TEST(SqliteAccountStoreTest, AccountsAreNumberedFromOneUpToTheLimit) {
  test::TempDir dir;
  auto store = SqliteAccountStore::open(dir.file("a.db"));
  ASSERT_TRUE(store);
  EXPECT_EQ(store->createAccount(account(1), 2).number, 1u);
  EXPECT_EQ(store->createAccount(account(2), 2).number, 2u);
  EXPECT_EQ(store->createAccount(account(3), 2).outcome, CreateOutcome::kFull);
  EXPECT_EQ(store->createAccount(account(3), 0).number, 3u) << "0 means no limit";
  ByteBuffer key;
  EXPECT_FALSE(store->signingKey(4, &key));
  ASSERT_TRUE(store->signingKey(2, &key));
  EXPECT_EQ(key, account(2).signingPublicKey);
}

TEST(SqliteAccountStoreTest, InstallationsRecoveriesAndStartsOutliveTheProcess) {
  test::TempDir dir;
  {
    auto store = SqliteAccountStore::open(dir.file("a.db"));
    ASSERT_TRUE(store);
    ASSERT_EQ(store->createAccount(account(1), 0).number, 1u);
    EXPECT_EQ(store->installation(1, id("first")), InstallationStanding::kOwner);
    EXPECT_EQ(store->installation(1, id("second")), InstallationStanding::kNewcomer);
    ASSERT_TRUE(store->registerRecovery(1, id("second")));
    EXPECT_EQ(store->useStart(1, id("digest-1")), StartUse::kFresh);
  }
  auto store = SqliteAccountStore::open(dir.file("a.db"));
  ASSERT_TRUE(store);
  EXPECT_EQ(store->installation(1, id("second")), InstallationStanding::kOwner);
  EXPECT_EQ(store->installation(1, id("first")), InstallationStanding::kReplaced);
  EXPECT_EQ(store->useStart(1, id("digest-1")), StartUse::kReplayed);
  EXPECT_EQ(store->useStart(1, id("digest-2")), StartUse::kFresh);
  // A recovery back to a replaced id does not bring it back.
  ASSERT_TRUE(store->registerRecovery(1, id("third")));
  EXPECT_EQ(store->installation(1, id("second")), InstallationStanding::kReplaced);
  const std::vector<AccountSummary> listed = store->listAccounts();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].replacedInstallations, 2u);
  EXPECT_EQ(listed[0].usage.reservedBytes, uint64_t{7} << 30);
  EXPECT_EQ(listed[0].usage.copies, 0u);
}

TEST(SqliteAccountStoreTest, TheDatabaseIsKeptInWalMode) {
  test::TempDir dir;
  auto store = SqliteAccountStore::open(dir.file("a.db"));
  ASSERT_TRUE(store);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(dir.file("a.db").c_str(), &db), SQLITE_OK);
  sqlite3_stmt* statement = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &statement, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)), "wal");
  sqlite3_finalize(statement);
  sqlite3_close(db);
}

// The database holds the names and e-mail addresses of the account holders:
// no other user of the machine may read it or its log, whatever the umask.
TEST(SqliteAccountStoreTest, TheDatabaseAndItsLogAreTheOwnersAlone) {
  test::TempDir dir;
  const mode_t umaskBefore = ::umask(022);
  auto store = SqliteAccountStore::open(dir.file("a.db"));
  ::umask(umaskBefore);
  ASSERT_TRUE(store);
  ASSERT_EQ(store->createAccount(account(1), 0).number, 1u);
  for (const char* name : {"a.db", "a.db-wal"}) {
    struct stat info {};
    ASSERT_EQ(::stat(dir.file(name).c_str(), &info), 0) << name;
    EXPECT_EQ(info.st_mode & 0077, 0u) << name;
  }
}

}  // namespace
}  // namespace vl
