#include <gtest/gtest.h>

#include "model/file_list.h"
#include "tests/model/list_fixtures.h"

namespace vl {
namespace {

using test::hashOf;
using test::metadataOf;
using test::sectionsOf;

TEST(FileListBuildingTest, SingleSectionRuleRefusesEveryWayIn) {
  FileList list;
  auto mismatched = sectionsOf({{3, 8}});
  EXPECT_FALSE(list.addFile(u"a", metadataOf(1), hashOf(7), mismatched));
  EXPECT_TRUE(list.empty());

  FileListEntry bad;
  bad.name = u"b";
  bad.contentHash = hashOf(7);
  bad.sections.assign(mismatched);
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

TEST(FileListBuildingTest, SectionListKeepsItsSectionsThroughGrowthCopiesAndMoves) {
  auto expected = sectionsOf({{1, 10}, {2, 20}, {3, 30}, {4, 40}, {5, 50}});
  SectionList list;
  EXPECT_TRUE(list.empty());
  for (const ListSection& section : expected) {
    list.push_back(section);
    // From one section (kept inline) to several (on the heap) and on.
    ASSERT_TRUE(std::equal(list.begin(), list.end(), expected.begin()));
  }
  SectionList copy = list;
  SectionList moved = std::move(list);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(copy, moved);
  EXPECT_TRUE(std::equal(moved.begin(), moved.end(), expected.begin(), expected.end()));

  SectionList one{std::span<const ListSection>(expected).first(1)};
  SectionList oneMoved = std::move(one);
  EXPECT_TRUE(one.empty());
  ASSERT_EQ(oneMoved.size(), 1u);
  EXPECT_EQ(oneMoved[0], expected[0]);
  oneMoved = copy;  // inline to heap
  EXPECT_EQ(oneMoved, copy);
  copy = SectionList{std::span<const ListSection>(expected).first(1)};  // heap to inline
  EXPECT_EQ(copy.size(), 1u);
  EXPECT_EQ(copy[0], expected[0]);

  std::span<const ListSection> view = moved;
  EXPECT_EQ(view.size(), 5u);
  moved.resize(7);
  EXPECT_EQ(moved[4], expected[4]);
  EXPECT_EQ(moved[6], ListSection{});
}

TEST(FileListBuildingTest, HashesLongerThanSha256AreRefused) {
  std::vector<uint8_t> bytes(33, 1);
  EXPECT_FALSE(ListHash::from(bytes));
  EXPECT_EQ(ListHash::from(std::span(bytes).first(32))->size(), 32u);
}

}  // namespace
}  // namespace vl
