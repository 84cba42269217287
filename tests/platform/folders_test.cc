#include "platform/folders.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "engine/unprivileged.h"
#include "support/temp_dir.h"

namespace vl {
namespace {

using test::TempDir;
using test::writeFile;

std::map<std::string, EntryType> listAll(FolderListing& listing) {
  std::map<std::string, EntryType> seen;
  FolderEntry entry;
  FolderListing::Next result;
  while ((result = listing.next(&entry)) == FolderListing::Next::kEntry) {
    seen[std::string(entry.name)] = entry.type;
  }
  EXPECT_EQ(result, FolderListing::Next::kEnd);
  return seen;
}

TEST(Folders, CreateAndRemove) {
  TempDir dir;
  const std::string path = dir.file("new");
  EXPECT_TRUE(createFolder(path));
  EXPECT_TRUE(isFolder(path));
  EXPECT_TRUE(createFolder(path));  // already there is fine
  writeFile(dir.file("file"), "x");
  EXPECT_FALSE(createFolder(dir.file("file")));  // a file is in the way
  EXPECT_FALSE(createFolder(dir.file("no/such/parent")));
  writeFile(path + "/inside", "x");
  EXPECT_FALSE(removeFolder(path));  // not empty
  ASSERT_EQ(::unlink((path + "/inside").c_str()), 0);
  EXPECT_TRUE(removeFolder(path));
  EXPECT_FALSE(isFolder(path));
}

TEST(FolderListing, ListsEveryEntryWithItsType) {
  TempDir dir;
  writeFile(dir.file("a.txt"), "a");
  ASSERT_TRUE(createFolder(dir.file("sub")));
  writeFile(dir.file("sub/inner"), "b");
  ASSERT_EQ(::symlink("sub", dir.file("link").c_str()), 0);
  ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0644), 0);

  FolderListing listing;
  ASSERT_TRUE(listing.open(dir.path()));
  auto seen = listAll(listing);
  ASSERT_EQ(seen.size(), 6u);
  EXPECT_TRUE(seen.count(".") && seen.count(".."));
  // Types may be kUnknown on file systems that do not report them.
  auto typeIs = [&](const char* name, EntryType expected) {
    return seen[name] == expected || seen[name] == EntryType::kUnknown;
  };
  EXPECT_TRUE(typeIs("a.txt", EntryType::kFile));
  EXPECT_TRUE(typeIs("sub", EntryType::kFolder));
  EXPECT_TRUE(typeIs("link", EntryType::kSymlink));
  EXPECT_TRUE(typeIs("pipe", EntryType::kOther));
  // After the end the listing keeps saying so.
  FolderEntry entry;
  EXPECT_EQ(listing.next(&entry), FolderListing::Next::kEnd);

  FolderListing child;
  ASSERT_TRUE(child.openAt(listing, "sub"));
  EXPECT_EQ(listAll(child).size(), 3u);
  // Never through a symlink, nor into a file.
  EXPECT_FALSE(child.openAt(listing, "link"));
  EXPECT_FALSE(child.isOpen());
  EXPECT_FALSE(child.openAt(listing, "a.txt"));

  // The top folder may be reached through a symlink: the user chose it.
  FolderListing through_link;
  EXPECT_TRUE(through_link.open(dir.file("link")));
  EXPECT_FALSE(FolderListing().open(dir.file("missing")));
  listing.close();
  EXPECT_EQ(listing.next(&entry), FolderListing::Next::kError);
}

TEST(FolderListing, UnreadableFolderCannotBeListed) {
  TempDir dir;
  ASSERT_TRUE(createFolder(dir.file("closed")));
  test::openToEveryone(dir.path());
  ASSERT_EQ(::chmod(dir.file("closed").c_str(), 0), 0);
  // Root lists any folder, so this part runs as an ordinary user.
  auto result = test::runUnprivileged([&] {
    FolderListing listing;
    std::string text = listing.open(dir.file("closed")) ? "listed" : "refused";
    if (::chmod(dir.file("closed").c_str(), 0755) != 0) return text + " chmod";
    return text + (listing.open(dir.file("closed")) ? " listed" : " refused");
  });
  ASSERT_TRUE(result.has_value()) << "could not run as an ordinary user";
  EXPECT_EQ(*result, "refused listed");
}

}  // namespace
}  // namespace vl
