#include "server/store/copy_store.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace vl {
namespace {

ByteBuffer bytes(std::string_view text) { return ByteBuffer(text); }

TEST(CopyStoreTest, SectionsRoundTripAndDrop) {
  test::TempDir dir;
  auto store = CopyStore::open(dir.file("store"));
  ASSERT_TRUE(store);
  EXPECT_FALSE(store->putSection(0, bytes("zero is never a section number")));
  ASSERT_TRUE(store->putSection(7, bytes("seven")));
  ASSERT_TRUE(store->putSection(12, bytes("")));  // an empty record is still a record
  ASSERT_TRUE(store->putSection(7, bytes("seven again")));  // a resend replaces
  EXPECT_EQ(store->sectionNumbers(), (std::vector<uint32_t>{7, 12}));
  EXPECT_EQ(*store->getSection(7), bytes("seven again"));
  EXPECT_TRUE(store->getSection(12)->empty());
  EXPECT_FALSE(store->getSection(8));
  EXPECT_TRUE(store->dropSection(7));
  EXPECT_TRUE(store->dropSection(7));
  EXPECT_FALSE(store->hasSection(7));
}

TEST(CopyStoreTest, CopyIsVisibleOnlyOnceItsListIsStored) {
  test::TempDir dir;
  auto store = CopyStore::open(dir.path());
  ASSERT_TRUE(store);
  EXPECT_EQ(store->latestCopy(), 0u);
  // A run that fails after uploading leaves its sections and no copy.
  ASSERT_TRUE(store->putSection(1, bytes("a")));
  ASSERT_TRUE(store->putSection(2, bytes("b")));
  EXPECT_EQ(store->latestCopy(), 0u);
  // The next run reuses section 1; section 2 is reported orphaned and dropped.
  ASSERT_TRUE(store->putSection(3, bytes("c")));
  EXPECT_EQ(store->commitCopy(bytes("list one"), {2}), 1u);
  EXPECT_EQ(store->sectionNumbers(), (std::vector<uint32_t>{1, 3}));
  EXPECT_EQ(store->commitCopy(bytes("list two"), {}), 2u);
  EXPECT_EQ(store->copyNumbers(), (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(*store->getList(*store->latestCopy()), bytes("list two"));
  // Reopening sees the same state.
  auto again = CopyStore::openForReading(dir.path());
  EXPECT_EQ(*again->getList(1), bytes("list one"));
}

TEST(CopyStoreTest, SectionSetsAreCheckedAgainstTheirCount) {
  ByteBuffer set;
  set.appendU32(2);
  set.appendU32(5);
  set.appendU32(9);
  EXPECT_EQ(*parseSectionSet(set), (std::vector<uint32_t>{5, 9}));
  ByteBuffer lying;
  lying.appendU32(0xffffffff);
  lying.appendU32(1);
  EXPECT_FALSE(parseSectionSet(lying));
  EXPECT_FALSE(parseSectionSet(ByteBuffer()));
}

}  // namespace
}  // namespace vl
