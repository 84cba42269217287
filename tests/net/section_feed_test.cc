// The feed that prepares the backup engine's next section on a worker
// thread: the same sections as without the worker, and a stop at any moment
// returns.
#include "net/section_feed.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "crypto/rsa_test_keys.h"
#include "engine/backup_engine_test_util.h"
#include "engine/working_folder.h"

namespace vl {
namespace {

const ByteBuffer kLocalKey(std::vector<uint8_t>(32, 5));

std::vector<uint32_t> idsFed(const std::string& tree, bool background) {
  test::EngineSetup setup(tree);
  BackupEngine engine(setup.options);
  test::FixedKeys& keys = test::fixedKeys();
  SectionFeed feed(&engine, kLocalKey.span(), &keys.encryption, true, &keys.pool, background);
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

}  // namespace
}  // namespace vl
