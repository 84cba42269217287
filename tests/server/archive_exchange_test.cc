// Archived copies on the server: which copies are archived, listing and
// deleting them by copy number, what their sections become, retention after
// a new copy, and protected copies that no deletion and no forged client
// time can remove early.
#include <gtest/gtest.h>

#include "server/backup_wire.h"

namespace vl {
namespace {

using test::ArchiveReply;
using test::CopyParts;
using test::ServerWorld;
using test::Session;
using test::archive;
using test::commit;
using test::fetch;
using test::listCopy;
using test::listRecord;
using test::sectionRecord;
using test::sectionSet;
using test::upload;

constexpr uint32_t kDay = 86400;

class ArchiveTest : public ::testing::Test {
 protected:
  ServerWorld world;
  uint32_t account = world.createAccount();
  std::unique_ptr<Session> session = open();

  std::unique_ptr<Session> open() {
    auto opened = test::open(world, account, "home-pc");
    EXPECT_EQ(opened->code, 0);
    return opened;
  }
  // Stores a copy that uploads `fresh` and uses `used` (which must include
  // `fresh`); its client time is `time`.
  void storeCopy(const std::vector<uint32_t>& fresh, const std::vector<uint32_t>& used,
                 uint32_t time, uint16_t copyCount = 2, uint16_t retentionDays = 0) {
    for (uint32_t number : fresh) {
      ASSERT_EQ(upload(*session, number, sectionRecord(static_cast<uint8_t>(number))), 0);
    }
    CopyParts parts;
    parts.time = time;
    parts.files = time % 1000;
    parts.list = listRecord(static_cast<uint8_t>(time));
    parts.used = sectionSet(used);
    parts.copyCount = copyCount;
    parts.retentionDays = retentionDays;
    ASSERT_EQ(commit(*session, parts), 0);
  }
  std::vector<uint32_t> archivedNumbers() {
    ArchiveReply reply;
    EXPECT_EQ(archive(*session, 1, {}, &reply), 0);
    std::vector<uint32_t> numbers;
    for (const auto& record : reply.records) numbers.push_back(record.copy);
    return numbers;
  }
};

TEST_F(ArchiveTest, CopiesOlderThanTheNewestCountAreArchivedAndListedNewestFirst) {
  storeCopy({1}, {1}, 1000, 2);
  storeCopy({2}, {1, 2}, 2000, 2);
  EXPECT_TRUE(archivedNumbers().empty());
  storeCopy({3}, {3}, 3000, 2);
  storeCopy({4}, {4}, 4000, 2);
  ArchiveReply reply;
  ASSERT_EQ(archive(*session, 1, {}, &reply), 0);
  ASSERT_EQ(reply.records.size(), 2u);
  EXPECT_EQ(reply.records[0].copy, 2u);
  EXPECT_EQ(reply.records[0].time, 2000u);
  EXPECT_EQ(reply.records[0].files, 0u + 2000 % 1000);
  EXPECT_EQ(reply.records[0].size, 12345u);
  EXPECT_EQ(reply.records[1].copy, 1u);
  EXPECT_EQ(reply.copies, 4u);
  EXPECT_EQ(reply.reservedGib, 25u);
  // The newest copy's own count decides: 1 archives all but it; 0 means 20.
  storeCopy({5}, {5}, 5000, 1);
  EXPECT_EQ(archivedNumbers(), (std::vector<uint32_t>{4, 3, 2, 1}));
  storeCopy({6}, {6}, 6000, 0);
  EXPECT_TRUE(archivedNumbers().empty());
}

TEST_F(ArchiveTest, ACountOfZeroKeepsExactlyTwentyCopiesCurrent) {
  for (uint32_t n = 1; n <= 20; ++n) storeCopy({n}, {n}, 1000 * n, 0);
  EXPECT_TRUE(archivedNumbers().empty());
  storeCopy({21}, {21}, 21000, 0);
  EXPECT_EQ(archivedNumbers(), (std::vector<uint32_t>{1}));
}

TEST_F(ArchiveTest, DeletionByCopyNumberIsAllOrNothingAndDropsOnlyUnusedSections) {
  storeCopy({1, 2}, {1, 2}, 1000);
  storeCopy({3}, {2, 3}, 2000);
  storeCopy({4}, {3, 4}, 3000);
  storeCopy({5}, {4, 5}, 4000);  // archived now: 2 and 1
  // The copy in progress has uploaded 9, which no stored copy names.
  ASSERT_EQ(upload(*session, 9, sectionRecord(9)), 0);

  EXPECT_EQ(archive(*session, 2, {1, 3}), 4) << "3 is current";
  EXPECT_EQ(archive(*session, 2, {1, 7}), 4) << "7 was never stored";
  EXPECT_EQ(archivedNumbers(), (std::vector<uint32_t>{2, 1})) << "nothing was deleted";
  EXPECT_TRUE(world.log.mentions("3 is not an archived copy (result 4)"));

  ArchiveReply reply;
  ASSERT_EQ(archive(*session, 2, {1}, &reply), 0);
  ASSERT_EQ(reply.records.size(), 1u) << "the answer lists what remains";
  EXPECT_EQ(reply.records[0].copy, 2u);
  EXPECT_EQ(reply.copies, 3u);
  EXPECT_EQ(fetch(*session, 1), 1) << "only copy 1 used it";
  EXPECT_EQ(fetch(*session, 2), 0) << "copy 2 still uses it";
  EXPECT_EQ(fetch(*session, 9), 0) << "the copy in progress uploaded it";
  const uint64_t record = sectionRecord(1).size();
  const uint64_t list = listRecord(1).size();
  EXPECT_EQ(reply.usedBytes, record * 5 + list * 3);
  EXPECT_TRUE(world.log.mentions("archived copies 1 deleted, 1 section records with them"));

  // Deleted copies keep their numbers: selectors still reach the others.
  ASSERT_EQ(archive(*session, 2, {2}), 0);
  EXPECT_EQ(fetch(*session, 2), 1);
  EXPECT_EQ(listCopy(*session, 2)->present, false);
  EXPECT_EQ(listCopy(*session, 1)->time, 3000u);
  storeCopy({6}, {5, 6}, 5000);
  EXPECT_EQ(fetch(*session, 9), 1) << "the next copy did not use it";
  storeCopy({7}, {6, 7}, 6000, 1);
  EXPECT_EQ(archivedNumbers(), (std::vector<uint32_t>{5, 4, 3})) << "numbers are never reused";
}

TEST_F(ArchiveTest, OtherModesAndIndexesThatDoNotReadGetResultTwo) {
  storeCopy({1}, {1}, 1000);
  EXPECT_EQ(archive(*session, 0, {}), 2);
  EXPECT_EQ(archive(*session, 3, {1}), 2);
  ByteBuffer broken;
  broken.appendU32(2);
  broken.appendCounted(sectionSet({1}).span().first(6).data(), 6);
  EXPECT_EQ(test::ask(*session, ChunkType::kArchive, nullptr, broken), 2);
  EXPECT_TRUE(world.log.mentions("mode 3 (result 2)"));
}

TEST_F(ArchiveTest, RetentionDeletesOnlyWhenAskedAndOnlyArchivedCopiesPastTheirDays) {
  storeCopy({1}, {1}, 1000 * kDay, 1, 10);
  storeCopy({2}, {2}, 1005 * kDay, 1, 0);
  storeCopy({3}, {3}, 1020 * kDay, 1, 0);
  // Without --expire nothing goes.
  EXPECT_EQ(archivedNumbers(), (std::vector<uint32_t>{2, 1}));
  world.context.settings.expire = true;
  // At day 1035: copy 1 (10 days) has passed; copy 2 (30 days by default)
  // has not; copy 4 is new and copy 3 archived but young.
  storeCopy({4}, {4}, 1035 * kDay, 1, 0);
  EXPECT_EQ(archivedNumbers(), (std::vector<uint32_t>{3, 2}));
  EXPECT_EQ(fetch(*session, 1), 1);
  EXPECT_TRUE(world.log.mentions("retention: archived copies 1 deleted"));
  // Exactly at the limit a copy stays; one second past it goes.
  storeCopy({5}, {5}, 1035 * kDay, 1, 0);
  EXPECT_EQ(archivedNumbers(), (std::vector<uint32_t>{4, 3, 2}));
  storeCopy({6}, {6}, 1035 * kDay + 1, 1, 0);
  EXPECT_EQ(archivedNumbers(), (std::vector<uint32_t>{5, 4, 3}));
}

TEST_F(ArchiveTest, ProtectedCopiesOutliveDeletionRetentionAndAForgedClientTime) {
  world.context.settings.protectDays = 7;
  world.context.settings.expire = true;
  world.clock = 2000 * kDay;  // the server's own clock
  // The client claims times far in the past: the copies look ancient.
  storeCopy({1}, {1}, 10 * kDay, 1, 1);
  storeCopy({2}, {2}, 11 * kDay, 1, 1);
  storeCopy({3}, {3}, 12 * kDay, 1, 1);
  EXPECT_EQ(archivedNumbers(), (std::vector<uint32_t>{2, 1})) << "retention held back";
  EXPECT_TRUE(world.log.mentions("past retention kept: protected"));
  const std::optional<uint16_t> refused = archive(*session, 2, {1});
  ASSERT_TRUE(refused);
  EXPECT_NE(*refused, 0);
  EXPECT_NE(*refused, 4);
  EXPECT_TRUE(world.log.mentions("copy 1 is protected for 7 days"));
  EXPECT_EQ(fetch(*session, 1), 0) << "its sections are kept";

  // Seven days of the server's clock later the protection is over.
  world.clock += 7 * kDay;
  ASSERT_EQ(archive(*session, 2, {1}), 0);
  EXPECT_EQ(fetch(*session, 1), 1);
}

TEST_F(ArchiveTest, AnAccountsOwnProtectionHoldsWhenLongerThanTheServers) {
  world.context.settings.protectDays = 1;
  ASSERT_TRUE(world.store->setProtectDays(account, 30));
  world.clock = 2000 * kDay;
  storeCopy({1}, {1}, 10 * kDay, 1);
  storeCopy({2}, {2}, 11 * kDay, 1);
  world.clock += 2 * kDay;
  EXPECT_EQ(archive(*session, 2, {1}), 6);
  ASSERT_TRUE(world.store->setProtectDays(account, 0));
  EXPECT_EQ(archive(*session, 2, {1}), 0);
}

TEST_F(ArchiveTest, OneProtectedDayHoldsUntilItsLastSecond) {
  world.context.settings.protectDays = 1;
  world.clock = 2000 * kDay;
  storeCopy({1}, {1}, 10 * kDay, 1);
  storeCopy({2}, {2}, 11 * kDay, 1);
  world.clock += kDay - 1;
  EXPECT_EQ(archive(*session, 2, {1}), 6);
  world.clock += 1;
  EXPECT_EQ(archive(*session, 2, {1}), 0);
}

}  // namespace
}  // namespace vl
