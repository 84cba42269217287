// The feed that prepares the backup engine's next sections on worker
// threads: the same sections in the same order as without them, restart
// state that names only acknowledged sections, and a stop at any moment
// returns.
#include "net/section_feed.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "crypto/rsa_test_keys.h"
#include "engine/backup_engine_test_util.h"
#include "engine/restart_state.h"
#include "engine/working_folder.h"

namespace vl {
namespace {

const ByteBuffer kLocalKey(std::vector<uint8_t>(32, 5));

std::vector<uint32_t> idsFed(const std::string& tree, bool background, unsigned sealers = 1) {
  test::EngineSetup setup(tree);
  BackupEngine engine(setup.options);
  test::FixedKeys& keys = test::fixedKeys();
  SectionFeed feed(&engine, kLocalKey.span(), &keys.encryption, true, &keys.pool, background,
                   sealers);
  std::vector<uint32_t> ids;
  for (;;) {
    PreparedSection next = feed.take();
    if (next.kind != PreparedSection::Kind::kSection) {
      EXPECT_EQ(next.kind, PreparedSection::Kind::kFinished);
      break;
    }
    EXPECT_FALSE(next.record.empty());
    ids.push_back(next.id);
    feed.acknowledged();
    feed.prepare();
  }
  EXPECT_TRUE(feed.allStored());
  return ids;
}

TEST(SectionFeedTest, GivesTheEnginesSectionsWithOrWithoutTheWorkerAndStopsAtAnyMoment) {
  ASSERT_TRUE(test::fixedKeys().ok);
  test::WorkingFolder work;
  const std::string tree = work.file("tree");
  test::makeFolder(tree);
  for (int i = 0; i < 5; ++i) test::writeFile(tree + "/f" + std::to_string(i), test::patternBytes(3000, i));
  EXPECT_EQ(idsFed(tree, true), idsFed(tree, false));
  EXPECT_EQ(idsFed(tree, true, 3), idsFed(tree, false));

  // A stop right after a step was asked for, before the worker took it up,
  // must not wait for a step that never runs.
  for (int round = 0; round < 200; ++round) {
    test::EngineSetup setup(tree);
    BackupEngine engine(setup.options);
    test::FixedKeys& keys = test::fixedKeys();
    SectionFeed feed(&engine, kLocalKey.span(), &keys.encryption, true, &keys.pool, true);
    feed.prepare();
    feed.stop();
    EXPECT_EQ(feed.take().kind, PreparedSection::Kind::kStopped);
  }
}

class SectionFeedAheadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test::fixedKeys().ok);
    test::makeFolder(tree);
    // Files of several sections each, so that sealers work side by side.
    for (int i = 0; i < 6; ++i) {
      test::writeFile(tree + "/f" + std::to_string(i), test::patternBytes(5 << 20, 20 + i));
    }
  }
  test::WorkingFolder work;
  const std::string tree = work.file("tree");
};

TEST_F(SectionFeedAheadTest, SeveralSealersGiveTheSectionsInTheEnginesOrder) {
  const std::vector<uint32_t> serial = idsFed(tree, false);
  ASSERT_GE(serial.size(), 12u);
  EXPECT_EQ(idsFed(tree, true, 3), serial);
}

TEST_F(SectionFeedAheadTest, RestartStateNamesOnlyAcknowledgedSectionsWhileSectionsArePreparedAhead) {
  for (size_t taken : {1u, 4u, 9u}) {
    test::EngineSetup setup(tree);
    BackupEngine engine(setup.options);
    test::FixedKeys& keys = test::fixedKeys();
    SectionFeed feed(&engine, kLocalKey.span(), &keys.encryption, true, &keys.pool, true, 2);
    std::vector<uint32_t> acknowledged;
    for (size_t i = 0; i < taken; ++i) {
      PreparedSection next = feed.take();
      ASSERT_EQ(next.kind, PreparedSection::Kind::kSection);
      acknowledged.push_back(next.id);
      feed.acknowledged();
      feed.prepare();
    }
    // Time for the worker to run ahead of the acknowledged sections.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    feed.stop();
    RestartState saved;
    if (loadRestartState(&saved) != RestartLoad::kLoaded) continue;
    for (size_t r = 0; r < saved.size(); ++r) {
      for (const ListSection& section : saved.record(r).sections) {
        EXPECT_NE(std::find(acknowledged.begin(), acknowledged.end(), section.number),
                  acknowledged.end())
            << "restart state names section " << section.number << " after " << taken;
      }
    }
  }
}

TEST_F(SectionFeedAheadTest, AStopAtAnyMomentReturnsWithSealersAtWork) {
  for (int round = 0; round < 12; ++round) {
    test::EngineSetup setup(tree);
    BackupEngine engine(setup.options);
    test::FixedKeys& keys = test::fixedKeys();
    SectionFeed feed(&engine, kLocalKey.span(), &keys.encryption, true, &keys.pool, true, 3);
    for (int i = 0; i < round % 4; ++i) {
      ASSERT_EQ(feed.take().kind, PreparedSection::Kind::kSection);
      if (round % 2 == 0) feed.acknowledged();
    }
    feed.prepare();
    std::this_thread::sleep_for(std::chrono::milliseconds(round));
    feed.stop();
    EXPECT_EQ(feed.take().kind, PreparedSection::Kind::kStopped);
  }
}

}  // namespace
}  // namespace vl
