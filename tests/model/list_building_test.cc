#include <gtest/gtest.h>

#include "model/file_list.h"
#include "tests/model/list_fixtures.h"

namespace vl {
namespace {

using test::hashOf;
using test::metadataOf;
using test::sectionsOf;

TEST(FileListBuildingTest, KindsOfEntriesCarryWhatTheyShould) {
  FileList list = test::sampleList();
  ASSERT_EQ(list.entryCount(), 7u);
  EXPECT_TRUE(list.entry(0).isFolderStart());
  EXPECT_EQ(list.entry(0).metadata, EntryMetadata{});
  EXPECT_TRUE(list.entry(0).contentHash.empty());
  EXPECT_TRUE(list.entry(1).isFile());
  EXPECT_TRUE(list.entry(1).sections.empty());
  EXPECT_TRUE(list.entry(6).isFolder && list.entry(6).isFolderEnd);
  EXPECT_EQ(list.entry(6).metadata, metadataOf(500));
}

TEST(FileListBuildingTest, SingleSectionRuleRefusesEveryWayIn) {
  FileList list;
  auto mismatched = sectionsOf({{3, 8}});
  EXPECT_FALSE(list.addFile(u"a", metadataOf(1), hashOf(7), mismatched));
  EXPECT_TRUE(list.empty());

  FileListEntry bad;
  bad.name = u"b";
  bad.contentHash = hashOf(7);
  bad.sections.assign(mismatched.begin(), mismatched.end());
  EXPECT_FALSE(list.addEntry(bad));
  EXPECT_FALSE(list.addFileWithContentOf(u"c", metadataOf(1), bad));
  EXPECT_TRUE(list.empty());

  // Sections cut after the entry was added are checked the same way.
  ASSERT_TRUE(list.addFile(u"d", metadataOf(1), hashOf(9), {}));
  EXPECT_FALSE(list.setLastFileSections(mismatched));
  EXPECT_TRUE(list.entry(0).sections.empty());
  auto matching = sectionsOf({{3, 9}});
  EXPECT_TRUE(list.setLastFileSections(matching));
  EXPECT_EQ(list.entry(0).sections.size(), 1u);

  list.addFolderEnd(u"x", metadataOf(2));
  EXPECT_FALSE(list.setLastFileSections(matching));
}

TEST(FileListBuildingTest, ReuseTakesContentButKeepsNewNameAndMetadata) {
  FileList earlier = test::sampleList();
  const FileListEntry& old = earlier.entry(4);
  FileList list;
  ASSERT_TRUE(list.addFileWithContentOf(u"moved.bin", metadataOf(900), old));
  EXPECT_EQ(list.entry(0).name, u"moved.bin");
  EXPECT_EQ(list.entry(0).metadata, metadataOf(900));
  EXPECT_EQ(list.entry(0).contentHash, old.contentHash);
  EXPECT_TRUE(std::equal(old.sections.begin(), old.sections.end(), list.entry(0).sections.begin(),
                         list.entry(0).sections.end()));

  ASSERT_TRUE(list.addEntry(old));
  EXPECT_EQ(list.entry(1).name, old.name);
  EXPECT_EQ(list.entry(1).metadata, old.metadata);
}

TEST(FileListBuildingTest, HashesLongerThanSha256AreRefused) {
  std::vector<uint8_t> bytes(33, 1);
  EXPECT_FALSE(ListHash::from(bytes));
  EXPECT_EQ(ListHash::from(std::span(bytes).first(32))->size(), 32u);
}

}  // namespace
}  // namespace vl
