// vl_server check: a data folder that the protocol built is healthy, and
// each kind of damage (a missing list, an altered or misshapen record, a
// record whose size disagrees with its row,
// figures or use counts that disagree with the rows, a used section that is
// not catalogued) is found and named.
#include "server/program/data_check.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <functional>

#include "server/backup_wire.h"
#include "server/store/copy_store.h"

namespace vl {
namespace {

using test::CopyParts;
using test::sectionRecord;
using test::sectionSet;
using test::upload;

class DataCheckTest : public ::testing::Test {
 protected:
  test::ServerWorld world;
  uint32_t account = world.createAccount();

  void SetUp() override {
    auto session = test::open(world, account, "home-pc");
    ASSERT_EQ(session->code, 0);
    for (uint32_t number : {1u, 2u, 3u}) {
      ASSERT_EQ(upload(*session, number, sectionRecord(static_cast<uint8_t>(0xA0 + number))), 0);
    }
    CopyParts first;
    first.used = sectionSet({1, 2});
    ASSERT_EQ(test::commit(*session, first), 0);
    ASSERT_EQ(upload(*session, 4, sectionRecord(0xA4)), 0);
    CopyParts second;
    second.list = test::listRecord(2);
    second.used = sectionSet({2, 4});
    ASSERT_EQ(test::commit(*session, second), 0);
    ASSERT_EQ(upload(*session, 5, sectionRecord(0xA5)), 0);  // the copy in progress
  }

  std::string accountFolder() const {
    return world.dir.file("backups/" + std::to_string(account));
  }
  void sql(const std::string& statement) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(world.dir.file("accounts.db").c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, statement.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << statement;
    sqlite3_close(db);
  }
  // The first pack of the account's store, whole.
  std::string packPath() const {
    const std::string folder = accountFolder() + "/sections";
    DIR* dir = ::opendir(folder.c_str());
    std::string found;
    while (dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.size() > 5 && name.substr(name.size() - 5) == ".pack") found = folder + "/" + name;
    }
    ::closedir(dir);
    return found;
  }
  DataCheck check() { return checkServerData(world.dir.path()); }
  static bool names(const DataCheck& report, const std::string& text) {
    for (const std::string& line : report.problems) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }
};

TEST_F(DataCheckTest, WhatTheProtocolBuiltIsHealthy) {
  const DataCheck report = check();
  EXPECT_TRUE(report.healthy()) << (report.problems.empty() ? "" : report.problems.front());
  EXPECT_EQ(report.accounts, 1u);
  EXPECT_EQ(report.copies, 2u);
  EXPECT_EQ(report.sections, 4u) << "3 went with the first copy's completion";
  EXPECT_EQ(report.unnamedRecords, 0u);
}

TEST_F(DataCheckTest, AMissingListRecordIsFound) {
  ASSERT_EQ(std::remove((accountFolder() + "/copies/2.rec").c_str()), 0);
  const DataCheck report = check();
  EXPECT_FALSE(report.healthy());
  EXPECT_TRUE(names(report, "copy 2: its list record is missing"));
}

TEST_F(DataCheckTest, AnAlteredSectionRecordIsFound) {
  std::string pack = test::readFile(packPath());
  const size_t at = pack.find(std::string(256, static_cast<char>(0xA4)));
  ASSERT_NE(at, std::string::npos);
  pack[at + 100] ^= 1;
  test::writeFile(packPath(), pack);
  world.restart();  // the index read again
  const DataCheck report = check();
  EXPECT_TRUE(names(report, "section 4: its record is missing or altered"));
}

TEST_F(DataCheckTest, AMisshapenRecordIsFound) {
  world.backups.reset();  // the store's writer lock goes with it
  {
    std::optional<CopyStore> store = CopyStore::open(accountFolder());
    ASSERT_TRUE(store);
    ByteBuffer misshapen = sectionRecord(0xA2);
    misshapen[5] = 9;  // no such compression kind
    ASSERT_TRUE(store->putSection(2, misshapen));
  }
  EXPECT_TRUE(names(check(), "section 2: its record is misshapen"));
}

TEST_F(DataCheckTest, FiguresAndUseCountsThatDisagreeWithTheRowsAreFound) {
  sql("UPDATE account_bytes SET used = used + 1");
  EXPECT_TRUE(names(check(), "bytes used"));
  sql("UPDATE account_bytes SET used = used - 1, pending = pending + 1");
  EXPECT_TRUE(names(check(), "uploaded for the next copy"));
  sql("UPDATE account_bytes SET pending = pending - 1");
  EXPECT_TRUE(check().healthy());
  sql("UPDATE stored_sections SET uses = 1 WHERE number = 2");
  EXPECT_TRUE(names(check(), "section 2: catalogued for 1 copies, used by 2"));
}

TEST_F(DataCheckTest, AUsedSectionThatIsNotCataloguedIsFound) {
  sql("DELETE FROM stored_sections WHERE number = 4");
  const DataCheck report = check();
  EXPECT_TRUE(names(report, "copy 2 uses section 4, which is not catalogued"));
  EXPECT_EQ(report.unnamedRecords, 1u) << "its record is still in the pack";
}

TEST_F(DataCheckTest, SizesAndShapesThatDisagreeWithTheCatalogueAreFound) {
  const std::string second = accountFolder() + "/copies/2.rec";
  test::writeFile(second, test::readFile(second) + "x");
  std::string first = test::readFile(accountFolder() + "/copies/1.rec");
  first[0] ^= 0x40;  // another record type, same length
  test::writeFile(accountFolder() + "/copies/1.rec", first);
  sql("UPDATE stored_sections SET bytes = bytes + 1 WHERE number = 4");
  const DataCheck report = check();
  EXPECT_TRUE(names(report, "copy 2: its list record has")) << report.problems.front();
  EXPECT_TRUE(names(report, "copy 1: its list record is misshapen"));
  EXPECT_TRUE(names(report, "section 4: its record has"));
}

}  // namespace
}  // namespace vl
