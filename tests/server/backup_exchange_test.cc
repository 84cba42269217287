// The server's side of backups, restores and lists, driven with bytes: what
// an upload, a completed copy, a list request and a section request get,
// every refusal, and what survives a reconnect and a restart.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <functional>

#include "server/backup_wire.h"
#include "server/program/data_check.h"
#include "server/storage/sqlite_copy_catalog.h"
#include "server/store/copy_store.h"

namespace vl {
namespace {

using test::CommitReply;
using test::CopyParts;
using test::ListedCopy;
using test::ServerWorld;
using test::Session;
using test::commit;
using test::fetch;
using test::listCopy;
using test::listRecord;
using test::sectionRecord;
using test::sectionSet;
using test::upload;

class BackupExchangeTest : public ::testing::Test {
 protected:
  ServerWorld world;
  uint32_t account = world.createAccount();

  std::unique_ptr<Session> owner(bool encrypt = true) {
    auto session = test::open(world, account, "home-pc", encrypt);
    EXPECT_EQ(session->code, 0);
    return session;
  }
  std::unique_ptr<Session> reader() {
    auto session = test::open(world, account, "");
    EXPECT_EQ(session->code, 0);
    return session;
  }
  // Sets the account's reserved space to any number of bytes.
  void setReserved(uint64_t bytes) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(world.dir.file("accounts.db").c_str(), &db), SQLITE_OK);
    const std::string sql = "UPDATE accounts SET reserved_bytes = " + std::to_string(bytes) +
                            " WHERE number = " + std::to_string(account);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  AccountUsage usage() {
    AccountUsage figures;
    EXPECT_TRUE(world.store->usage(account, &figures));
    return figures;
  }
  // Uploads `numbers` (record i filled with the number) and stores them as
  // a copy using exactly them.
  void storeCopy(Session& session, const std::vector<uint32_t>& numbers, CopyParts parts = {}) {
    for (uint32_t number : numbers) {
      ASSERT_EQ(upload(session, number, sectionRecord(static_cast<uint8_t>(number))), 0);
    }
    parts.used = sectionSet(numbers);
    ASSERT_EQ(commit(session, parts), 0);
  }
};

TEST_F(BackupExchangeTest, ACopyIsStoredListedBySelectorAndItsSectionsServed) {
  auto backup = owner();
  uint64_t soFar = 0;
  const ByteBuffer first = sectionRecord(7);
  ASSERT_EQ(upload(*backup, 1, first, &soFar), 0);
  EXPECT_EQ(soFar, first.size());
  ASSERT_EQ(upload(*backup, 2, sectionRecord(8), &soFar), 0);
  EXPECT_EQ(soFar, first.size() * 2);

  CopyParts parts;
  parts.time = 1700000100;
  parts.files = 42;
  parts.size = (uint64_t{5} << 32) | 17;
  parts.used = sectionSet({1, 2});
  CommitReply reply;
  ASSERT_EQ(commit(*backup, parts, &reply), 0);
  const uint64_t used = first.size() * 2 + parts.list.size();
  EXPECT_EQ(reply.usedBytes, used) << "section and list records";
  EXPECT_EQ(reply.copies, 1u);
  EXPECT_EQ(reply.reservedGib, 25u);
  EXPECT_TRUE(world.log.mentions("copy 1 stored"));

  // The next copy starts from nothing uploaded.
  ASSERT_EQ(upload(*backup, 3, sectionRecord(9), &soFar), 0);
  EXPECT_EQ(soFar, first.size());
  CopyParts second;
  second.time = 1700000200;
  second.list = listRecord(2);
  second.used = sectionSet({1, 2, 3});
  ASSERT_EQ(commit(*backup, second), 0);

  // Selectors count back from the newest; the list goes with flag 0 too.
  auto restore = reader();
  const std::optional<ListedCopy> newest = listCopy(*restore, 0);
  ASSERT_TRUE(newest && newest->present);
  EXPECT_EQ(newest->list, second.list);
  EXPECT_EQ(newest->time, 1700000200u);
  const std::optional<ListedCopy> older = listCopy(*restore, 1, 1);
  ASSERT_TRUE(older && older->present);
  EXPECT_EQ(older->list, parts.list);
  EXPECT_EQ(older->time, parts.time);
  EXPECT_EQ(older->files, 42u);
  EXPECT_EQ(older->size, parts.size);
  const std::optional<ListedCopy> past = listCopy(*restore, 2);
  ASSERT_TRUE(past);
  EXPECT_FALSE(past->present);
  EXPECT_FALSE(listCopy(*restore, 0xFFFFFFFF)->present);

  ByteBuffer record;
  ASSERT_EQ(fetch(*restore, 1, &record), 0);
  EXPECT_EQ(record, first);
  EXPECT_EQ(fetch(*restore, 99), 1);
  EXPECT_EQ(fetch(*restore, 0), 1);
}

TEST_F(BackupExchangeTest, AnAccountWithoutCopiesListsNothingPresent) {
  auto session = owner(false);
  const std::optional<ListedCopy> none = listCopy(*session, 0);
  ASSERT_TRUE(none);
  EXPECT_FALSE(none->present);
}

TEST_F(BackupExchangeTest, MisshapenSectionsAndNumbersInUseGetResultTwo) {
  auto backup = owner();
  storeCopy(*backup, {5});
  struct Case {
    const char* name;
    uint32_t number;
    std::function<void(ByteBuffer&)> spoil;
  };
  const std::vector<Case> cases = {
      {"number 0", 0, [](ByteBuffer&) {}},
      {"number a stored copy uses", 5, [](ByteBuffer&) {}},
      {"type 101", 6, [](ByteBuffer& r) { r[0] = 101; }},
      {"version 2", 6, [](ByteBuffer& r) { r[2] = 2; }},
      {"byte 4 not zero", 6, [](ByteBuffer& r) { r[4] = 1; }},
      {"kind 5", 6, [](ByteBuffer& r) { r[5] = 5; }},
      {"a 255-byte secret", 6,
       [](ByteBuffer& r) {
         ByteBuffer shorter;
         shorter.appendBytes(r.span().first(6));
         shorter.appendCounted(ByteBuffer(255));
         shorter.appendCounted(ByteBuffer(64));
         r = shorter;
       }},
      {"an empty body", 6,
       [](ByteBuffer& r) {
         r.resize(r.size() - 68);
         r.appendU32(0);
       }},
      {"a byte after the body", 6, [](ByteBuffer& r) { r.appendU8(0); }},
      {"the body cut short", 6, [](ByteBuffer& r) { r.resize(r.size() - 1); }},
  };
  for (const Case& c : cases) {
    ByteBuffer record = sectionRecord(3);
    c.spoil(record);
    EXPECT_EQ(upload(*backup, c.number, record), 2) << c.name;
  }
  EXPECT_TRUE(world.log.mentions("section 5 refused: a stored copy uses the number"));
  EXPECT_TRUE(world.log.mentions("section 6 refused: a misshapen record"));
  // Nothing of them was stored.
  EXPECT_EQ(fetch(*backup, 6), 1);
  ByteBuffer kept;
  ASSERT_EQ(fetch(*backup, 5, &kept), 0);
  EXPECT_EQ(kept, sectionRecord(5));
  // A version-0 record carries its tag in a third field.
  ByteBuffer old = sectionRecord(4);
  old[2] = 0;
  EXPECT_EQ(upload(*backup, 7, old), 2) << "version 0 without its tag";
  old.appendCounted(ByteBuffer(32));
  EXPECT_EQ(upload(*backup, 7, old), 0);
}

TEST_F(BackupExchangeTest, TheReservedSpaceIsHeldAndASectionSentAgainReplacesItself) {
  world.context.settings.reservedGib = 0;  // the next account gets no room at all
  const uint32_t tiny = world.createAccount();
  auto none = test::open(world, tiny, "pc");
  EXPECT_EQ(upload(*none, 1, sectionRecord(1)), 3);
  EXPECT_TRUE(world.log.mentions("(result 3)"));

  // An account with room for exactly three records.
  const uint64_t record = sectionRecord(1).size();
  setReserved(record * 3);
  auto backup = owner();
  uint64_t soFar = 0;
  ASSERT_EQ(upload(*backup, 1, sectionRecord(1), &soFar), 0);
  ASSERT_EQ(upload(*backup, 2, sectionRecord(2), &soFar), 0);
  // Sent again (a reconnect): it replaces itself and is counted once.
  ASSERT_EQ(upload(*backup, 2, sectionRecord(2), &soFar), 0);
  EXPECT_EQ(soFar, record * 2);
  EXPECT_TRUE(world.log.mentions("section 2 received again"));
  EXPECT_FALSE(world.log.mentions("section 1 received again"));
  ASSERT_EQ(upload(*backup, 3, sectionRecord(3), &soFar), 0);
  EXPECT_EQ(upload(*backup, 4, sectionRecord(4)), 3) << "one byte over is over";
  EXPECT_EQ(upload(*backup, 3, sectionRecord(3)), 0) << "a resend at the limit still fits";
  EXPECT_EQ(fetch(*backup, 4), 1);
  EXPECT_EQ(usage().usedBytes, record * 3);
}

TEST_F(BackupExchangeTest, BytesSoFarSurviveAReconnectAndARestartUntilTheCopyCompletes) {
  const uint64_t record = sectionRecord(1).size();
  uint64_t soFar = 0;
  {
    auto first = owner();
    ASSERT_EQ(upload(*first, 1, sectionRecord(1), &soFar), 0);
    ASSERT_EQ(upload(*first, 2, sectionRecord(2), &soFar), 0);
  }
  {
    auto again = owner();  // a reconnect resends the last section first
    ASSERT_EQ(upload(*again, 2, sectionRecord(2), &soFar), 0);
    EXPECT_EQ(soFar, record * 2);
  }
  world.restart();
  auto resumed = owner();
  ASSERT_EQ(upload(*resumed, 3, sectionRecord(3), &soFar), 0);
  EXPECT_EQ(soFar, record * 3);
  CopyParts parts;
  parts.used = sectionSet({1, 2, 3});
  ASSERT_EQ(commit(*resumed, parts), 0);
  ASSERT_EQ(upload(*resumed, 4, sectionRecord(4), &soFar), 0);
  EXPECT_EQ(soFar, record);
}

TEST_F(BackupExchangeTest, EveryFaultOfACompletedCopyGetsResultTwoAndStoresNothing) {
  auto backup = owner();
  ASSERT_EQ(upload(*backup, 1, sectionRecord(1)), 0);
  ASSERT_EQ(upload(*backup, 2, sectionRecord(2)), 0);
  struct Case {
    const char* name;
    std::function<void(CopyParts&)> spoil;
    const char* logged;
  };
  const std::vector<Case> cases = {
      {"list type", [](CopyParts& p) { p.list[0] = 100; }, "list record has a wrong header"},
      {"list version", [](CopyParts& p) { p.list[2] = 2; }, "list record has a wrong header"},
      {"list byte 5", [](CopyParts& p) { p.list[5] = 1; }, "list record has a wrong header"},
      {"A short", [](CopyParts& p) { p.unused = sectionSet({1}); p.unused.resize(7); },
       "set A is not"},
      {"B long", [](CopyParts& p) { p.used.appendU32(2); }, "set B is not"},
      {"C empty", [](CopyParts& p) { p.orphaned = ByteBuffer(); }, "set C is not"},
      {"tag of 31", [](CopyParts& p) { p.logTag.resize(31); }, "log tag is not 32 bytes"},
      {"log of 16", [](CopyParts& p) { p.sealedLog.resize(16); }, "sealed log is not"},
      {"log of 47", [](CopyParts& p) { p.sealedLog.resize(47); }, "sealed log is not"},
      {"B names a section not held", [](CopyParts& p) { p.used = sectionSet({1, 2, 9}); },
       "names section 9"},
  };
  for (const Case& c : cases) {
    CopyParts parts;
    parts.used = sectionSet({1, 2});
    c.spoil(parts);
    EXPECT_EQ(commit(*backup, parts), 2) << c.name;
    EXPECT_TRUE(world.log.mentions(c.logged)) << c.name;
  }
  // A chunk cut short is refused the same way.
  ByteBuffer cut = CopyParts{}.fields();
  cut.resize(cut.size() - 1);
  EXPECT_EQ(test::ask(*backup, ChunkType::kFileList, nullptr, cut), 2);
  EXPECT_EQ(usage().copies, 0u);
  EXPECT_FALSE(listCopy(*backup, 0)->present);

  // The refused attempts changed nothing: the uploads are still the copy's.
  uint64_t soFar = 0;
  ASSERT_EQ(upload(*backup, 2, sectionRecord(2), &soFar), 0);
  EXPECT_EQ(soFar, sectionRecord(1).size() * 2);
  CopyParts good;
  good.used = sectionSet({2, 1});
  ASSERT_EQ(commit(*backup, good), 0);
  EXPECT_EQ(usage().copies, 1u);
}

// The catalogue says what was uploaded; the record itself must be there
// too, or a copy naming it could never be restored.
TEST_F(BackupExchangeTest, ACopyNamingASectionWhoseRecordIsLostIsRefused) {
  {
    auto backup = owner();
    ASSERT_EQ(upload(*backup, 1, sectionRecord(1)), 0);
    ASSERT_EQ(upload(*backup, 2, sectionRecord(2)), 0);
  }
  world.backups.reset();  // lets go of the store's writer lock
  {
    std::optional<CopyStore> store =
        CopyStore::open(world.dir.file("backups/" + std::to_string(account)));
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->dropSection(2) && store->syncSections());
  }
  world.restart();
  auto backup = owner();
  CopyParts parts;
  parts.used = sectionSet({1, 2});
  EXPECT_EQ(commit(*backup, parts), 2);
  EXPECT_TRUE(world.log.mentions("names section 2, which the server does not hold"));
  EXPECT_EQ(usage().copies, 0u);
}

// B naming a section the server does not hold, after others that it does:
// the copy is absent and the earlier sections are not left counted as used.
TEST_F(BackupExchangeTest, ARefusedCommitLeavesNoTraceSoTheCopyIsWholeOrAbsent) {
  auto backup = owner();
  storeCopy(*backup, {1, 2});
  ASSERT_EQ(upload(*backup, 3, sectionRecord(3)), 0);
  CopyParts broken;
  broken.used = sectionSet({3, 1, 99});
  ASSERT_EQ(commit(*backup, broken), 2);
  EXPECT_EQ(usage().copies, 1u);
  EXPECT_FALSE(listCopy(*backup, 1)->present);
  // Were 1 and 3 still counted as used by the refused copy, the next copy
  // (using neither) would keep them; it must drop 3 and, named by A, keep 1
  // only for copy 1.
  CopyParts next;
  next.list = listRecord(5);
  next.used = sectionSet({2});
  next.unused = sectionSet({1});
  ASSERT_EQ(commit(*backup, next), 0);
  EXPECT_EQ(fetch(*backup, 3), 1) << "an upload the copy does not use is deleted";
  EXPECT_EQ(fetch(*backup, 1), 0) << "copy 1 still uses it";
}

// The same refusal from inside the catalogue's transaction, after the copy
// row was written and earlier sections gained a user: all of it is undone.
TEST_F(BackupExchangeTest, ACatalogueCommitRefusedHalfWayLeavesNothingBehind) {
  auto backup = owner();
  storeCopy(*backup, {1, 2});
  ASSERT_EQ(upload(*backup, 3, sectionRecord(3)), 0);
  const ByteBuffer used = sectionSet({1, 3, 99});
  CopyRow row;
  row.summary.copy = 2;
  row.usedSections = used.span();
  uint32_t missing = 0;
  std::vector<uint32_t> drop;
  EXPECT_EQ(world.catalog->commit(account, row, {1, 3, 99}, {}, &missing, &drop),
            CatalogCommit::kMissingSection);
  EXPECT_EQ(missing, 99u);
  EXPECT_EQ(usage().copies, 1u);
  EXPECT_EQ(world.catalog->section(account, 1), SectionUse::kUsed);
  EXPECT_EQ(world.catalog->section(account, 3), SectionUse::kPending) << "not left used";
  EXPECT_TRUE(checkServerData(world.dir.path()).healthy());
}

// Records that nothing names (an upload cut off before its row was written)
// go when the account's store next opens; what the catalogue names stays.
TEST_F(BackupExchangeTest, RecordsNothingNamesAreRemovedWhenTheStoreOpens) {
  {
    auto backup = owner();
    storeCopy(*backup, {1});
    ASSERT_EQ(upload(*backup, 2, sectionRecord(2)), 0);
  }
  world.backups.reset();
  {
    std::optional<CopyStore> store =
        CopyStore::open(world.dir.file("backups/" + std::to_string(account)));
    ASSERT_TRUE(store && store->putSection(99, sectionRecord(99)));
  }
  // 99 was let go by a commit whose drop was cut off.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(world.dir.file("accounts.db").c_str(), &db), SQLITE_OK);
  const std::string sql = "INSERT INTO dropping_sections(account, number) VALUES(" +
                          std::to_string(account) + ", 99)";
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  EXPECT_EQ(checkServerData(world.dir.path()).unnamedRecords, 1u);
  world.restart();
  auto backup = owner();
  EXPECT_EQ(fetch(*backup, 1), 0);
  EXPECT_EQ(fetch(*backup, 2), 0) << "the upload of the copy in progress stays";
  EXPECT_EQ(fetch(*backup, 99), 1);
  const DataCheck report = checkServerData(world.dir.path());
  EXPECT_EQ(report.unnamedRecords, 0u);
  EXPECT_TRUE(report.healthy());
  EXPECT_TRUE(world.log.mentions("1 section records no copy or upload names removed"));
}

TEST_F(BackupExchangeTest, AnUploadWhoseRowWasLostCountsAgainAfterARestart) {
  {
    auto backup = owner();
    storeCopy(*backup, {1});
  }
  world.backups.reset();
  {
    // Its record is durable; the row that followed did not reach the disk.
    std::optional<CopyStore> store =
        CopyStore::open(world.dir.file("backups/" + std::to_string(account)));
    ASSERT_TRUE(store && store->putSection(5, sectionRecord(5)));
  }
  world.restart();
  auto backup = owner();
  EXPECT_EQ(fetch(*backup, 5), 0);
  EXPECT_EQ(checkServerData(world.dir.path()).unnamedRecords, 0u);
  EXPECT_TRUE(checkServerData(world.dir.path()).healthy());
  EXPECT_TRUE(world.log.mentions("1 uploads catalogued again from their records"));
}

TEST_F(BackupExchangeTest, ACompletedCopyDeletesWhatNoStoredCopyUses) {
  auto backup = owner();
  storeCopy(*backup, {1, 2, 3});
  const uint64_t record = sectionRecord(1).size();
  // The second copy no longer uses 1 (A) nor 3 (A), uploads 4 and 5, then 6
  // which it does not use; the interrupted attempt's 7 is orphaned (C).
  for (uint32_t number : {4u, 5u, 6u, 7u}) {
    ASSERT_EQ(upload(*backup, number, sectionRecord(static_cast<uint8_t>(number))), 0);
  }
  CopyParts second;
  second.list = listRecord(2);
  second.unused = sectionSet({1, 3});
  second.used = sectionSet({2, 4, 5});
  second.orphaned = sectionSet({7});
  CommitReply reply;
  ASSERT_EQ(commit(*backup, second, &reply), 0);
  // 1 and 3 stay: copy 1 still uses them. 6 and 7 go.
  for (uint32_t kept : {1u, 2u, 3u, 4u, 5u}) EXPECT_EQ(fetch(*backup, kept), 0) << kept;
  for (uint32_t gone : {6u, 7u}) EXPECT_EQ(fetch(*backup, gone), 1) << gone;
  EXPECT_EQ(reply.usedBytes, record * 5 + second.list.size() * 2);
  EXPECT_EQ(reply.copies, 2u);
  EXPECT_TRUE(world.log.mentions("2 unused section records deleted"));
  // A gone number may be uploaded again; a used one may not.
  EXPECT_EQ(upload(*backup, 6, sectionRecord(6)), 0);
  EXPECT_EQ(upload(*backup, 4, sectionRecord(4)), 2);
}

// A copy made after a lost receipt names again, in C, the sections its
// interrupted attempt left over; the copy that was stored meanwhile had them
// deleted already, and the log counts only records that were still held.
TEST_F(BackupExchangeTest, TheDeletedCountLeavesOutNumbersWithoutARecord) {
  auto backup = owner();
  storeCopy(*backup, {1, 2});
  ASSERT_EQ(upload(*backup, 3, sectionRecord(3)), 0);
  CopyParts second;
  second.list = listRecord(2);
  second.used = sectionSet({1, 2});
  second.unused = sectionSet({40, 41});
  second.orphaned = sectionSet({20, 21, 22, 23, 24, 25, 26, 27, 28});
  ASSERT_EQ(commit(*backup, second), 0);
  EXPECT_TRUE(world.log.mentions(", 1 unused section records deleted"));
  EXPECT_EQ(fetch(*backup, 3), 1);
  for (uint32_t kept : {1u, 2u}) EXPECT_EQ(fetch(*backup, kept), 0) << kept;
}

TEST_F(BackupExchangeTest, ABackupAndARestoreOfOneAccountRunAtOnce) {
  auto first = owner();
  storeCopy(*first, {1, 2});
  auto backup = owner();
  auto restore = reader();
  ASSERT_TRUE(listCopy(*restore, 0)->present);
  ASSERT_TRUE(listCopy(*backup, 0)->present);
  ASSERT_EQ(upload(*backup, 3, sectionRecord(3)), 0);
  ByteBuffer record;
  ASSERT_EQ(fetch(*restore, 1, &record), 0);
  EXPECT_EQ(record, sectionRecord(1));
  CopyParts parts;
  parts.list = listRecord(9);
  parts.used = sectionSet({1, 2, 3});
  ASSERT_EQ(commit(*backup, parts), 0);
  ASSERT_EQ(fetch(*restore, 2, &record), 0);
  EXPECT_EQ(record, sectionRecord(2));
}

TEST_F(BackupExchangeTest, AReaderMayListAndFetchButNeitherUploadNorComplete) {
  auto backup = owner();
  storeCopy(*backup, {1});
  auto restore = reader();
  EXPECT_EQ(upload(*restore, 2, sectionRecord(2)), 5);
  CopyParts parts;
  parts.used = sectionSet({1});
  EXPECT_EQ(commit(*restore, parts), 5);
  EXPECT_EQ(fetch(*restore, 1), 0);
  EXPECT_EQ(usage().copies, 1u);
}

}  // namespace
}  // namespace vl
