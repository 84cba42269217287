#include "model/previous_copy_index.h"

#include <gtest/gtest.h>

#include "tests/model/list_fixtures.h"

namespace vl {
namespace {

using test::hashOf;
using test::metadataOf;
using test::sectionsOf;

std::vector<uint8_t> fromHex(const char* hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; hex[i] && hex[i + 1]; i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
  }
  return out;
}

// Two files with the same content, a section number shared by two files,
// and folders around them.
FileList previousCopy() {
  FileList list;
  list.addFolderStart(u"A");
  list.addFile(u"A\\one", metadataOf(10), hashOf(1), sectionsOf({{11, 1}}));
  list.addFile(u"A\\two", metadataOf(20), hashOf(2), sectionsOf({{12, 20}, {13, 21}}));
  list.addFile(u"A\\copy of one", metadataOf(30), hashOf(1), sectionsOf({{11, 1}}));
  // Section 12 again, listed with another hash: only the first is indexed.
  list.addFile(u"A\\three", metadataOf(40), hashOf(3), sectionsOf({{12, 22}, {14, 23}}));
  list.addFile(u"A\\zero", metadataOf(50), hashOf(4), sectionsOf({{0, 4}}));
  list.addFolderEnd(u"A", metadataOf(60));
  return list;
}

TEST(PreviousCopyIndexTest, PathKeyIsSha256OfTheHighByteFirstName) {
  uint8_t digest[32];
  hashPath(u"Documents\\a.txt", digest);
  EXPECT_EQ(std::vector<uint8_t>(digest, digest + 32),
            fromHex("1aa16ec2f106ca47202f4e4afcd3830006734701d99cc146f7c3e5c9d18567da"));
}

TEST(PreviousCopyIndexTest, LookupsFollowTheFirstOccurrenceRules) {
  FileList list = previousCopy();
  PreviousCopyIndex index;
  ASSERT_TRUE(index.build(list));
  EXPECT_EQ(index.fileCount(), 5u);

  EXPECT_EQ(index.findEntryByPath(u"A\\two"), &list.entry(2));
  EXPECT_EQ(index.findEntryByPath(u"A"), nullptr);  // folders are not indexed
  EXPECT_EQ(index.findEntryByPath(u"a\\two"), nullptr);

  // Same content twice: the first file is the one found.
  EXPECT_EQ(index.findEntryByContent(hashOf(1).bytes()), &list.entry(1));
  EXPECT_EQ(index.findEntryByContent(hashOf(9).bytes()), nullptr);

  EXPECT_EQ(index.findSection(hashOf(20).bytes()), 12u);
  EXPECT_EQ(index.findSection(hashOf(22).bytes()), std::nullopt);
  EXPECT_EQ(index.findSection(hashOf(23).bytes()), 14u);
  EXPECT_EQ(index.findSection(hashOf(4).bytes()), 0u);  // reported; the caller ignores 0
}

TEST(PreviousCopyIndexTest, UnchangedMeansSameCreationAndLastWriteTime) {
  FileList list = previousCopy();
  PreviousCopyIndex index;
  ASSERT_TRUE(index.build(list));
  const EntryMetadata stored = metadataOf(20);

  // Attributes and last-access time changed: still unchanged, and the
  // stored entry (with the old values) is what the caller takes over.
  const FileListEntry* entry =
      index.findUnchangedFile(u"A\\two", stored.creationTime, stored.lastWriteTime);
  ASSERT_EQ(entry, &list.entry(2));
  EXPECT_EQ(entry->metadata.attributes, stored.attributes);

  // Last write changed, content not: missed by name, found by content.
  EXPECT_EQ(index.findUnchangedFile(u"A\\two", stored.creationTime, stored.lastWriteTime + 1),
            nullptr);
  EXPECT_EQ(index.findUnchangedFile(u"A\\two", stored.creationTime + 1, stored.lastWriteTime),
            nullptr);
  EXPECT_EQ(index.findEntryByContent(hashOf(2).bytes()), &list.entry(2));
}

TEST(PreviousCopyIndexTest, EmptyListOrRebuildForgetsEverything) {
  FileList list = previousCopy();
  PreviousCopyIndex index;
  EXPECT_EQ(index.findEntryByPath(u"A\\one"), nullptr);
  ASSERT_TRUE(index.build(list));
  FileList empty;
  ASSERT_TRUE(index.build(empty));
  EXPECT_EQ(index.fileCount(), 0u);
  EXPECT_EQ(index.findEntryByPath(u"A\\one"), nullptr);
  EXPECT_EQ(index.findEntryByContent(hashOf(1).bytes()), nullptr);
  EXPECT_EQ(index.findSection(hashOf(20).bytes()), std::nullopt);
}

}  // namespace
}  // namespace vl
