// Fixtures of the backup engine's tests: a working folder holding "tree",
// the one folder selected for copying, and a whole first copy of it.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "engine/backup_engine.h"
#include "engine/backup_engine_test_util.h"
#include "engine/working_folder.h"

namespace vl::test {

inline constexpr size_t kSection = 2097152;

// An empty "tree" in a fresh working folder; tests fill it.
class TreeTest : public ::testing::Test {
 protected:
  void SetUp() override { makeFolder(tree); }

  WorkingFolder work;
  const std::string tree = work.file("tree");
};

// Runs a whole first copy of `tree` into `store` and gives its list payload.
inline ByteBuffer firstCopy(const std::string& tree, SectionStore* store) {
  EngineSetup setup(tree);
  BackupEngine engine(setup.options);
  EXPECT_TRUE(pullCopy(engine, store).finished);
  return engine.newFileList();
}

}  // namespace vl::test
