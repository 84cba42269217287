#include "engine/list_walk_sink.h"

#include <gtest/gtest.h>

#include "engine/backup_walk.h"
#include "tests/model/list_fixtures.h"

namespace vl {
namespace {

using test::hashOf;
using test::metadataOf;

TEST(ListWalkSinkTest, FoldersGoIntoTheNewListWithTheirOwnMetadata) {
  FileList list;
  ListWalkSink sink(&list, nullptr);
  ASSERT_TRUE(sink.folderStarted("\\Dokument\\R\xC3\xA4kningar"));
  FileInfo info;
  info.creation_time = 11;
  info.last_access_time = 12;
  info.last_write_time = 13;
  info.attributes = 0x10;
  ASSERT_TRUE(sink.folderEnded("\\Dokument\\R\xC3\xA4kningar", info));
  ASSERT_EQ(list.entryCount(), 2u);
  EXPECT_TRUE(list.entry(0).isFolderStart());
  EXPECT_EQ(list.entry(0).name, u"\\Dokument\\R\u00e4kningar");
  EXPECT_TRUE(list.entry(1).isFolderEnd);
  EXPECT_EQ(list.entry(1).metadata, (EntryMetadata{11, 12, 13, 0x10}));
  // A name that cannot be stored exactly stops the walk.
  EXPECT_FALSE(sink.folderStarted("\\bad\xFF"));
  EXPECT_EQ(list.entryCount(), 2u);
}

TEST(ListWalkSinkTest, QuickCompareTakesTheUnchangedEntryOverWhole) {
  FileList previous;
  auto sections = test::sectionsOf({{4, 1}, {5, 2}});
  previous.addFile(u"\\D\\a.txt", metadataOf(10), hashOf(9), sections);
  PreviousCopyIndex index;
  ASSERT_TRUE(index.build(previous));

  FileList list;
  ListWalkSink sink(&list, &index);
  WalkEntry entry;
  entry.relative_path = "\\D\\a.txt";
  entry.creation_time = metadataOf(10).creationTime;
  entry.last_write_time = metadataOf(10).lastWriteTime;
  entry.attributes = 0x01;  // changed attributes alone do not count
  uint32_t count = 0;
  ASSERT_TRUE(sink.reuseUnchanged(entry, &count));
  EXPECT_EQ(count, 2u);
  ASSERT_EQ(list.entryCount(), 1u);
  EXPECT_EQ(list.entry(0).metadata, metadataOf(10));
  EXPECT_EQ(list.entry(0).contentHash, hashOf(9));
  EXPECT_EQ(sink.reusedFiles(), 1u);

  entry.last_write_time += 1;
  EXPECT_FALSE(sink.reuseUnchanged(entry, &count));
  ListWalkSink firstCopy(&list, nullptr);
  entry.last_write_time -= 1;
  EXPECT_FALSE(firstCopy.reuseUnchanged(entry, &count));
  EXPECT_EQ(list.entryCount(), 1u);
}

}  // namespace
}  // namespace vl
