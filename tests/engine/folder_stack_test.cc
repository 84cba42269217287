// FolderStack climbing back to folders it parked: through "..", by name
// when the folder below was moved away, and not at all when neither leads
// to the same folder.
#include "engine/folder_stack.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>

#include "support/temp_dir.h"

namespace vl {
namespace {

constexpr int kLevels = static_cast<int>(FolderStack::kOpenLevels) + 14;

// root/1/2/.../kLevels, each level holding the files a, b and c.
std::string makeLevels(const test::TempDir& dir) {
  std::string path = dir.file("root");
  EXPECT_EQ(::mkdir(path.c_str(), 0755), 0);
  for (int level = 1; level <= kLevels; ++level) {
    path += "/" + std::to_string(level);
    EXPECT_EQ(::mkdir(path.c_str(), 0755), 0);
    for (const char* name : {"a", "b", "c"}) test::writeFile(path + "/" + name, std::to_string(level));
  }
  return path;
}

// The content of the file `name` in the folder open as `fd`.
std::string readAt(int fd, const char* name) {
  const int file = ::openat(fd, name, O_RDONLY | O_CLOEXEC);
  if (file < 0) return "?";
  char buffer[16];
  const ssize_t n = ::read(file, buffer, sizeof buffer);
  ::close(file);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "?";
}

// Goes down level by level and, at the bottom, runs `meddle`; then climbs
// back, reading every level out. The names seen per level (with "a:" and
// the content of "a" as read through the level's handle), or "error" as a
// name at the level whose listing failed.
std::map<int, std::set<std::string>> walkDownAndUp(const std::string& root,
                                                   const std::function<void()>& meddle) {
  std::map<int, std::set<std::string>> seen;
  FolderStack stack;
  EXPECT_TRUE(stack.openFirst(root));
  FolderEntry entry;
  for (int level = 0; level < kLevels; ++level) {
    const std::string child = std::to_string(level + 1);
    while (stack.next(&entry) == FolderListing::Next::kEntry) {
      const std::string name(entry.name);
      if (name == "." || name == "..") continue;
      seen[level].insert(name);
      if (name == child) break;
    }
    EXPECT_TRUE(stack.enter(child)) << level;
  }
  EXPECT_LE(stack.openListings(), FolderStack::kOpenLevels + 1);
  meddle();
  for (int level = kLevels; level >= 0; --level) {
    for (FolderListing::Next got; (got = stack.next(&entry)) != FolderListing::Next::kEnd;) {
      if (got == FolderListing::Next::kError) {
        seen[level].insert("error");
        return seen;
      }
      const std::string name(entry.name);
      if (name != "." && name != "..") seen[level].insert(name);
    }
    if (level > 0) seen[level].insert("a:" + readAt(stack.topFd(), "a"));
    stack.leave();
  }
  EXPECT_TRUE(stack.empty());
  return seen;
}

std::set<std::string> full(int level) {
  std::set<std::string> names{"a", "b", "c", "a:" + std::to_string(level)};
  if (level == 0) names = {};
  if (level < kLevels) names.insert(std::to_string(level + 1));
  return names;
}

TEST(FolderStack, ParkedFoldersAreListedToTheEndAfterTheClimbBack) {
  test::TempDir dir;
  makeLevels(dir);
  auto seen = walkDownAndUp(dir.file("root"), [] {});
  for (int level = 0; level <= kLevels; ++level) EXPECT_EQ(seen[level], full(level)) << level;
}

TEST(FolderStack, AFolderMovedAwayFromAParkedOneIsClimbedPastByName) {
  test::TempDir dir;
  makeLevels(dir);
  // Level 4 is parked; level 5 and all below it move elsewhere, so ".." of
  // level 5 no longer leads to level 4.
  std::string four = dir.file("root/1/2/3/4");
  auto seen = walkDownAndUp(dir.file("root"), [&] {
    ASSERT_EQ(std::rename((four + "/5").c_str(), dir.file("moved").c_str()), 0);
  });
  for (int level = 0; level <= kLevels; ++level) EXPECT_EQ(seen[level], full(level)) << level;
}

TEST(FolderStack, AParkedFolderThatCannotBeFoundAgainFailsItsListing) {
  // Level 5 moves away and level 4 is renamed: neither way leads back. A
  // folder put in level 4's place, with files of the same names, is another
  // folder and never listed for it.
  for (bool impostor : {false, true}) {
    SCOPED_TRACE(impostor ? "another folder in its place" : "nothing in its place");
    test::TempDir dir;
    makeLevels(dir);
    std::string four = dir.file("root/1/2/3/4");
    auto seen = walkDownAndUp(dir.file("root"), [&] {
      ASSERT_EQ(std::rename((four + "/5").c_str(), dir.file("moved").c_str()), 0);
      ASSERT_EQ(std::rename(four.c_str(), dir.file("root/1/2/3/four").c_str()), 0);
      if (!impostor) return;
      ASSERT_EQ(::mkdir(four.c_str(), 0755), 0);
      for (const char* name : {"a", "b", "c"}) test::writeFile(four + "/" + name, "impostor");
    });
    EXPECT_EQ(seen[4].count("error"), 1u);
    EXPECT_EQ(seen[4].count("a:impostor"), 0u);
    for (int level = 5; level <= kLevels; ++level) EXPECT_EQ(seen[level], full(level)) << level;
  }
}

}  // namespace
}  // namespace vl
