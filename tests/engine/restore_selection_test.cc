// Choosing part of a copy: the named entries, everything below named
// folders, and the folders that hold them, still as a well-formed list.
#include "engine/restore_selection.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/restore_fixture.h"

namespace vl {
namespace {

// "+" a folder start, "-" a folder end, nothing for a file.
std::vector<std::u16string> shape(const FileList& list) {
  std::vector<std::u16string> out;
  for (const FileListEntry& entry : list.entries()) {
    std::u16string mark = entry.isFolderStart() ? u"+" : entry.isFolder ? u"-" : u"";
    out.push_back(mark + std::u16string(entry.name));
  }
  return out;
}

class RestoreSelectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    copy.folderStart(u"\\Docs");
    copy.file(u"\\Docs\\a.txt", {"a"});
    copy.folderStart(u"\\Docs\\Sub");
    copy.file(u"\\Docs\\Sub\\b.txt", {"b"});
    copy.folderStart(u"\\Docs\\Sub\\Deep");
    copy.file(u"\\Docs\\Sub\\Deep\\c.txt", {"c"});
    copy.folderEnd(u"\\Docs\\Sub\\Deep", test::timesAt(1000));
    copy.folderEnd(u"\\Docs\\Sub", test::timesAt(2000));
    copy.folderStart(u"\\Docs\\Empty");
    copy.folderEnd(u"\\Docs\\Empty");
    copy.file(u"\\Docs\\z.txt", {"z"});
    copy.folderEnd(u"\\Docs", test::timesAt(3000));
    copy.folderStart(u"\\Pics");
    copy.file(u"\\Pics\\p.jpg", {"p"});
    copy.folderEnd(u"\\Pics");
    copy.list.nextSectionNumber = 99;
    copy.list.version = 4;
  }

  std::optional<FileList> select(std::vector<std::u16string> names) {
    return selectEntries(copy.list, names);
  }

  test::HandMadeCopy copy;
};

TEST_F(RestoreSelectionTest, AFileComesWithTheFoldersAroundIt) {
  std::optional<FileList> selected = select({u"Docs/Sub/Deep/c.txt"});
  ASSERT_TRUE(selected.has_value());
  EXPECT_EQ(shape(*selected),
            (std::vector<std::u16string>{u"+\\Docs", u"+\\Docs\\Sub", u"+\\Docs\\Sub\\Deep",
                                         u"\\Docs\\Sub\\Deep\\c.txt", u"-\\Docs\\Sub\\Deep",
                                         u"-\\Docs\\Sub", u"-\\Docs"}));
  // The closing entries keep their metadata; the list keeps its numbering.
  EXPECT_EQ(selected->entry(5).metadata, test::timesAt(2000));
  EXPECT_EQ(selected->nextSectionNumber, 99u);
  EXPECT_EQ(selected->version, 4u);
  EXPECT_EQ(selected->entry(3).sections, copy.list.entry(5).sections);
}

TEST_F(RestoreSelectionTest, AFolderComesWithEverythingBelowIt) {
  std::optional<FileList> selected = select({u"\\Docs\\Sub\\"});
  ASSERT_TRUE(selected.has_value());
  EXPECT_EQ(shape(*selected),
            (std::vector<std::u16string>{u"+\\Docs", u"+\\Docs\\Sub", u"\\Docs\\Sub\\b.txt",
                                         u"+\\Docs\\Sub\\Deep", u"\\Docs\\Sub\\Deep\\c.txt",
                                         u"-\\Docs\\Sub\\Deep", u"-\\Docs\\Sub", u"-\\Docs"}));

  std::optional<FileList> empty = select({u"\\Docs\\Empty"});
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(shape(*empty), (std::vector<std::u16string>{u"+\\Docs", u"+\\Docs\\Empty",
                                                        u"-\\Docs\\Empty", u"-\\Docs"}));
}

TEST_F(RestoreSelectionTest, SeveralNamesKeepListOrderAndShareTheirFolders) {
  std::optional<FileList> selected = select({u"\\Pics\\p.jpg", u"\\Docs\\z.txt", u"\\Docs\\a.txt"});
  ASSERT_TRUE(selected.has_value());
  EXPECT_EQ(shape(*selected),
            (std::vector<std::u16string>{u"+\\Docs", u"\\Docs\\a.txt", u"\\Docs\\z.txt", u"-\\Docs",
                                         u"+\\Pics", u"\\Pics\\p.jpg", u"-\\Pics"}));
  // A name inside a named folder, or named twice, changes nothing.
  std::optional<FileList> overlapping = select({u"\\Docs", u"\\Docs\\a.txt", u"\\Docs"});
  ASSERT_TRUE(overlapping.has_value());
  EXPECT_EQ(overlapping->entryCount(), 12u);
}

TEST_F(RestoreSelectionTest, ANameThatMatchesNothingIsReported) {
  std::vector<std::u16string> unmatched;
  std::vector<std::u16string> names = {u"\\Docs\\a.txt", u"\\Docs\\nope", u"\\Doc"};
  EXPECT_FALSE(selectEntries(copy.list, names, &unmatched).has_value());
  EXPECT_EQ(unmatched, (std::vector<std::u16string>{u"\\Docs\\nope", u"\\Doc"}));
}

}  // namespace
}  // namespace vl
