#include <gtest/gtest.h>

#include <filesystem>

#include "server/pack_files.h"
#include "server/store/copy_store.h"
#include "support/temp_dir.h"

namespace vl {
namespace {

ByteBuffer bytes(std::string_view text) { return ByteBuffer(text); }

TEST(CopyStoreUnsyncedTest, RecordsAreWholeAtOnceAndLeaveNothingBeside) {
  test::TempDir dir;
  std::optional<CopyStore> store = CopyStore::open(dir.path());
  ASSERT_TRUE(store);
  EXPECT_FALSE(store->putSectionUnsynced(0, bytes("zero is never a section number")));
  ASSERT_TRUE(store->putSectionUnsynced(5, bytes("five")));
  ASSERT_TRUE(store->putSectionUnsynced(5, bytes("five again")));
  ASSERT_TRUE(store->putSectionUnsynced(6, bytes("")));
  ASSERT_TRUE(store->syncSections());
  EXPECT_EQ(*store->getSection(5), bytes("five again"));
  EXPECT_TRUE(store->getSection(6)->empty());
  EXPECT_EQ(store->sectionNumbers(), (std::vector<uint32_t>{5, 6}));
  // All of one run's records share one pack; nothing else is left beside.
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.file("sections"))) {
    EXPECT_EQ(entry.path().extension(), ".pack");
    ++files;
  }
  EXPECT_EQ(files, 1u);
}

// Whether each entry of the store's one pack is known to be on the disk.
std::vector<bool> durableEntries(const std::string& store) {
  std::vector<bool> durable;
  const std::string pack = test::packsIn(store + "/sections").at(0);
  for (const PackEntry& entry : test::scanPackFile(pack).entries) durable.push_back(entry.durable);
  return durable;
}

TEST(CopyStoreUnsyncedTest, ACommitSyncsTheSectionsItsListNames) {
  test::TempDir dir;
  std::optional<CopyStore> store = CopyStore::open(dir.path());
  ASSERT_TRUE(store);
  // A caller that never syncs: the commit must, before the list is stored.
  ASSERT_TRUE(store->putSectionUnsynced(1, bytes("one")));
  ASSERT_TRUE(store->putSectionUnsynced(2, bytes("two")));
  EXPECT_EQ(durableEntries(dir.path()), (std::vector<bool>{false, false}));
  EXPECT_EQ(store->commitCopy(bytes("list"), {}), 1u);
  EXPECT_EQ(durableEntries(dir.path()), (std::vector<bool>{true, true}));
}

}  // namespace
}  // namespace vl
