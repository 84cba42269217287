// The replay check's memory: the account store keeps the newest start
// digests of each account and forgets older ones, so that the table does not
// grow with every exchange a server has ever admitted; and a database made
// before the digests were numbered still refuses its recorded ones. The
// digests are written without waiting for the disk, through their own
// connection: they must still be rows that outlive the store, and that
// connection must be the only one relaxed.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "server/accounts/sqlite_account_store.h"
#include "support/temp_dir.h"

namespace vl {
namespace {

std::span<const uint8_t> id(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

NewAccount someAccount() {
  NewAccount made;
  made.signingPublicKey = ByteBuffer(std::vector<uint8_t>(256, 7));
  made.setupRecord = ByteBuffer(std::string_view("record"));
  return made;
}

int64_t rows(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  int64_t count = -1;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    count = sqlite3_column_int64(statement, 0);
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return count;
}

TEST(UsedStartsTest, EachAccountKeepsOnlyItsNewestDigests) {
  test::TempDir dir;
  const std::string path = dir.file("a.db");
  auto store = SqliteAccountStore::open(path, 3);
  ASSERT_TRUE(store);
  ASSERT_EQ(store->createAccount(someAccount(), 0).number, 1u);
  ASSERT_EQ(store->createAccount(someAccount(), 0).number, 2u);
  for (int i = 1; i <= 6; ++i) {
    ASSERT_EQ(store->useStart(1, id("start-" + std::to_string(i))), StartUse::kFresh);
  }
  ASSERT_EQ(store->useStart(2, id("other")), StartUse::kFresh);
  EXPECT_EQ(rows(path, "SELECT COUNT(*) FROM used_starts WHERE account = 1"), 3);
  EXPECT_EQ(rows(path, "SELECT COUNT(*) FROM used_starts WHERE account = 2"), 1)
      << "one account's starts never push out another's";
  for (int i = 4; i <= 6; ++i) {
    EXPECT_EQ(store->useStart(1, id("start-" + std::to_string(i))), StartUse::kReplayed) << i;
  }
  // A refused replay takes no place among the kept ones.
  EXPECT_EQ(rows(path, "SELECT COUNT(*) FROM used_starts WHERE account = 1"), 3);
  EXPECT_EQ(store->useStart(2, id("other")), StartUse::kReplayed);
  // The price of the bound: a digest older than the kept ones is forgotten.
  EXPECT_EQ(store->useStart(1, id("start-1")), StartUse::kFresh);
}

TEST(UsedStartsTest, DigestsOfAnOlderDatabaseAreStillRefusedAndThenBounded) {
  test::TempDir dir;
  const std::string path = dir.file("a.db");
  {
    // The table as it was before the digests were numbered.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE used_starts(account INTEGER NOT NULL, digest BLOB NOT "
                           "NULL, PRIMARY KEY(account, digest)) WITHOUT ROWID;"
                           "INSERT INTO used_starts VALUES(1, CAST('recorded' AS BLOB));",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  auto store = SqliteAccountStore::open(path, 2);
  ASSERT_TRUE(store);
  ASSERT_EQ(store->createAccount(someAccount(), 0).number, 1u);
  EXPECT_EQ(store->useStart(1, id("recorded")), StartUse::kReplayed);
  EXPECT_EQ(store->useStart(1, id("new-1")), StartUse::kFresh);
  EXPECT_EQ(store->useStart(1, id("new-2")), StartUse::kFresh);
  EXPECT_EQ(rows(path, "SELECT COUNT(*) FROM used_starts"), 2);
  EXPECT_EQ(store->useStart(1, id("new-2")), StartUse::kReplayed);
}

TEST(UsedStartsTest, TheRecordOutlivesTheStoreAndOnlyItSkipsTheFlush) {
  test::TempDir dir;
  const std::string path = dir.file("a.db");
  {
    auto store = SqliteAccountStore::open(path);
    ASSERT_TRUE(store);
    EXPECT_EQ(store->mainSynchronous(), 2) << "accounts and installations stay FULL";
    EXPECT_EQ(store->startsSynchronous(), 1);
    ASSERT_EQ(store->createAccount(someAccount(), 0).number, 1u);
    ASSERT_EQ(store->useStart(1, id("played")), StartUse::kFresh);
  }
  auto store = SqliteAccountStore::open(path);
  ASSERT_TRUE(store);
  EXPECT_EQ(store->mainSynchronous(), 2);
  EXPECT_EQ(rows(path, "SELECT COUNT(*) FROM used_starts"), 1);
  EXPECT_EQ(store->useStart(1, id("played")), StartUse::kReplayed)
      << "a new run refuses it from the database alone";
  EXPECT_EQ(store->useStart(1, id("next")), StartUse::kFresh);
}

TEST(UsedStartsTest, ARunRefusesItsOwnStartsBeforeTheDatabaseIsAsked) {
  test::TempDir dir;
  const std::string path = dir.file("a.db");
  auto store = SqliteAccountStore::open(path);
  ASSERT_TRUE(store);
  ASSERT_EQ(store->createAccount(someAccount(), 0).number, 1u);
  ASSERT_EQ(store->createAccount(someAccount(), 0).number, 2u);
  ASSERT_EQ(store->useStart(1, id("played")), StartUse::kFresh);
  // As if the row had not reached the disk: only the run's memory holds it.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "DELETE FROM used_starts", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  EXPECT_EQ(store->useStart(1, id("played")), StartUse::kReplayed);
  EXPECT_EQ(store->useStart(2, id("played")), StartUse::kFresh)
      << "the same bytes signed for another account are another start";
}

}  // namespace
}  // namespace vl
