#include "platform/folder_handle.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/file.h"
#include "platform/folders.h"
#include "support/temp_dir.h"

namespace vl {
namespace {

using test::TempDir;
using test::writeFile;

unsigned permissions(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 0777;
}

TEST(FolderHandle, NeverFollowsASymlinkBelowTheFolder) {
  TempDir dir;
  TempDir outside;
  ASSERT_TRUE(createFolder(dir.file("sub")));
  writeFile(dir.file("file"), "x");
  ASSERT_EQ(::symlink(outside.path().c_str(), dir.file("link").c_str()), 0);
  ASSERT_EQ(::symlink(outside.file("planted").c_str(), dir.file("dangling").c_str()), 0);

  FolderHandle top;
  ASSERT_TRUE(top.open(dir.path()));
  FolderHandle sub;
  EXPECT_TRUE(sub.openAt(top, "sub"));
  EXPECT_FALSE(sub.openAt(top, "link"));
  EXPECT_FALSE(sub.isOpen());
  EXPECT_FALSE(sub.openAt(top, "file"));
  EXPECT_FALSE(sub.openAt(FolderHandle(), "sub"));

  // A chosen folder may be reached through a symlink; one we made may not.
  FolderHandle through;
  EXPECT_TRUE(through.open(dir.file("link")));
  EXPECT_FALSE(through.open(dir.file("link"), /*followSymlink=*/false));
  EXPECT_TRUE(through.open(dir.file("sub"), /*followSymlink=*/false));

  // A new file never lands where a symlink in its place points.
  File file;
  EXPECT_FALSE(file.createNewAt(top, "dangling", FileAccess::kDefault));
  EXPECT_FALSE(file.createNewAt(top, "file", FileAccess::kDefault));
  EXPECT_EQ(test::readFile(dir.file("file")), "x");
  EXPECT_TRUE(nameIsFree(outside.file("planted")));
}

TEST(FolderHandle, MakesAndRemovesEntriesByName) {
  TempDir dir;
  FolderHandle top;
  ASSERT_TRUE(top.open(dir.path()));
  EXPECT_TRUE(top.createSubfolder("made"));
  EXPECT_TRUE(isFolder(dir.file("made")));
  EXPECT_FALSE(top.createSubfolder("made"));  // the name is taken

  File file;
  ASSERT_TRUE(file.createOrTruncateAt(top, "private", FileAccess::kOwnerOnly));
  EXPECT_TRUE(file.close());
  EXPECT_EQ(permissions(dir.file("private")) & 077, 0u);
  // Read-only applies to later opens: the creating handle still writes.
  ASSERT_TRUE(file.createNewAt(top, "locked", FileAccess::kReadOnly));
  EXPECT_TRUE(file.write("abc", 3));
  EXPECT_TRUE(file.close());
  EXPECT_EQ(permissions(dir.file("locked")) & 0222, 0u);
  EXPECT_EQ(test::readFile(dir.file("locked")), "abc");

  EXPECT_TRUE(top.removeFile("private"));
  EXPECT_TRUE(top.removeFile("private"));  // gone already is fine
  EXPECT_FALSE(top.removeFile("made"));    // a folder is not a file
  EXPECT_TRUE(nameIsFree(dir.file("private")));

  FolderHandle made;
  ASSERT_TRUE(made.openAt(top, "made"));
  EXPECT_TRUE(made.setReadOnly());
  EXPECT_EQ(permissions(dir.file("made")) & 0222, 0u);
  EXPECT_TRUE(made.setReadOnly());  // nothing left to take away
}

TEST(FolderHandle, NewFolderTellsATakenName) {
  TempDir dir;
  EXPECT_EQ(createNewFolder(dir.file("own"), FolderAccess::kOwnerOnly), NewFolder::kCreated);
  EXPECT_EQ(permissions(dir.file("own")), 0700u);
  EXPECT_EQ(createNewFolder(dir.file("own"), FolderAccess::kOwnerOnly), NewFolder::kNameTaken);
  writeFile(dir.file("file"), "x");
  EXPECT_EQ(createNewFolder(dir.file("file"), FolderAccess::kDefault), NewFolder::kNameTaken);
  EXPECT_EQ(createNewFolder(dir.file("no/parent"), FolderAccess::kDefault), NewFolder::kFailed);
}

}  // namespace
}  // namespace vl
