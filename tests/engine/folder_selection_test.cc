#include "engine/folder_selection.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "core/folders_file.h"
#include "engine/backup_walk.h"
#include "engine/root_names.h"
#include "platform/folders.h"
#include "support/temp_dir.h"
#include "ui/add_read_folder_main_action.h"

namespace vl {
namespace {

using test::TempDir;
using test::writeFile;

// Counts what happens to it, through pointers that outlive it.
class TrackedScan : public FolderMainAction {
 public:
  TrackedScan(int* finished, int* destroyed, std::vector<std::string>* unreadable)
      : finished_(finished), destroyed_(destroyed), unreadable_(unreadable) {}
  ~TrackedScan() override { ++*destroyed_; }
  bool folderUnreadable(std::string_view swedish, std::string_view, std::string_view,
                        uint32_t top_level) override {
    unreadable_->emplace_back(swedish);
    return top_level != 1;
  }
  void scanFinished() override { ++*finished_; }

 private:
  int* finished_;
  int* destroyed_;
  std::vector<std::string>* unreadable_;
};

class FolderSelectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"music", "photos"}) ASSERT_EQ(::mkdir(dir_.file(name).c_str(), 0755), 0);
    writeFile(dir_.file("music/a.mp3"), std::string(3000, 'a'));
    writeFile(dir_.file("music/b.mp3"), std::string(10, 'b'));
    writeFile(dir_.file("photos/c.jpg"), "c");
    list_file_ = dir_.file("folders.bin");
  }

  std::unique_ptr<FolderMainAction> tracked() {
    return std::make_unique<TrackedScan>(&finished_, &destroyed_, &unreadable_);
  }

  TempDir dir_;
  std::string list_file_;
  int finished_ = 0;
  int destroyed_ = 0;
  std::vector<std::string> unreadable_;
};

TEST_F(FolderSelectionTest, RescanMeasuresEveryStoredFolderAndNeverReusesIds) {
  ASSERT_TRUE(writeFolderSelection({dir_.file("music"), dir_.file("gone"), dir_.file("photos")},
                                   list_file_));
  FolderSelection selection;
  ASSERT_TRUE(rescanSelection(selection, tracked(), false, list_file_));
  ASSERT_EQ(selection.folders.size(), 3u);
  EXPECT_EQ(selection.folders[0].files, 2u);
  EXPECT_EQ(selection.folders[0].bytes, 3010u);
  EXPECT_EQ(selection.folders[0].sections, 2u);
  // The unreadable selected folder stays in the list with zero totals.
  EXPECT_EQ(selection.folders[1].path, dir_.file("gone"));
  EXPECT_EQ(selection.folders[1].files, 0u);
  EXPECT_EQ(selection.folders[2].files, 1u);
  EXPECT_EQ(unreadable_.size(), 1u);
  EXPECT_TRUE(unreadable_[0].starts_with("Varning! Följande mapp kan inte läsas: \"" +
                                         dir_.file("gone") + "\""));
  EXPECT_EQ(finished_, 1);
  EXPECT_EQ(destroyed_, 1);
  EXPECT_EQ(totalFiles(selection), 3u);
  EXPECT_EQ(totalSections(selection), 3u);
  EXPECT_EQ(totalBytes(selection), 3011u);
  EXPECT_EQ(pathAt(selection, 2), dir_.file("photos"));
  EXPECT_EQ(pathAt(selection, 3), "");
  EXPECT_EQ(selection.folders[0].id, 1u);
  EXPECT_EQ(selection.folders[2].id, 3u);

  // A second rescan rebuilds the list with new ids.
  ASSERT_TRUE(rescanSelection(selection, nullptr, false, list_file_));
  ASSERT_EQ(selection.folders.size(), 3u);
  EXPECT_EQ(selection.folders[0].id, 4u);
}

TEST_F(FolderSelectionTest, UnattendedRescanSkipsUnreadableFoldersWithoutAsking) {
  ASSERT_TRUE(writeFolderSelection({dir_.file("gone"), dir_.file("photos")}, list_file_));
  FolderSelection selection;
  auto unattended = std::make_unique<AddReadFolderMainAction>(nullptr, nullptr, true);
  ASSERT_TRUE(rescanSelection(selection, std::move(unattended), false, list_file_));
  ASSERT_EQ(selection.folders.size(), 2u);
  EXPECT_EQ(selection.folders[0].files, 0u);
  EXPECT_EQ(selection.folders[1].files, 1u);
}

TEST_F(FolderSelectionTest, UnreadableListLeavesTheSelectionEmpty) {
  FolderSelection selection;
  selection.folders.push_back(SelectedFolder{"/old", 1, 1, 1, 1});
  EXPECT_FALSE(rescanSelection(selection, tracked(), false, dir_.file("missing.bin")));
  EXPECT_TRUE(selection.folders.empty());
  EXPECT_EQ(destroyed_, 1);
}

TEST_F(FolderSelectionTest, AddRemoveAndSave) {
  FolderSelection selection;
  uint32_t id = 0;
  EXPECT_EQ(addFolder(selection, tracked(), dir_.file("music"), false, &id), AddFolderResult::kAdded);
  EXPECT_EQ(id, 1u);
  EXPECT_EQ(finished_, 1);
  EXPECT_EQ(addFolder(selection, tracked(), dir_.file("photos"), false, &id), AddFolderResult::kAdded);
  EXPECT_EQ(id, 2u);

  // A folder that cannot be read is not added; the adding texts are used.
  EXPECT_EQ(addFolder(selection, tracked(), dir_.file("gone"), true, &id),
            AddFolderResult::kScanFailed);
  ASSERT_EQ(unreadable_.size(), 1u);
  EXPECT_TRUE(unreadable_[0].starts_with("Kan inte lägga till denna mapp"));
  EXPECT_TRUE(unreadable_[0].ends_with("välja bort dolda filer för kopiering."));
  EXPECT_EQ(selection.folders.size(), 2u);

  // A path that "folders.bin" would store as another path is refused before
  // anything is scanned.
  const std::string chinese = dir_.file("音楽");
  ASSERT_EQ(::mkdir(chinese.c_str(), 0755), 0);
  EXPECT_EQ(addFolder(selection, tracked(), chinese, false, &id), AddFolderResult::kPathNotStorable);
  EXPECT_EQ(selection.folders.size(), 2u);
  // Latin-1 characters are stored exactly.
  const std::string swedish = dir_.file("Bilder från sjön");
  ASSERT_EQ(::mkdir(swedish.c_str(), 0755), 0);
  EXPECT_EQ(addFolder(selection, tracked(), swedish, false, &id), AddFolderResult::kAdded);
  EXPECT_EQ(id, 3u);

  ASSERT_TRUE(saveSelection(selection, list_file_));
  auto stored = readFolderSelection(list_file_);
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(*stored, (std::vector<std::string>{dir_.file("music"), dir_.file("photos"), swedish}));

  EXPECT_FALSE(removeFolder(selection, 7, list_file_));
  EXPECT_TRUE(removeFolder(selection, 2, list_file_));
  stored = readFolderSelection(list_file_);
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(*stored, (std::vector<std::string>{dir_.file("music"), swedish}));
  EXPECT_EQ(selection.folders[1].id, 3u);
}

// Makes `path` the current directory for one test and goes back afterwards.
class InFolder {
 public:
  explicit InFolder(const std::string& path) : previous_(currentFolder().value_or("/")) {
    EXPECT_TRUE(enterFolder(path));
  }
  ~InFolder() { enterFolder(previous_); }

 private:
  std::string previous_;
};

TEST(NormalFolderPath, FullPathsWithoutDotsOrTrailingSeparators) {
  EXPECT_EQ(normalFolderPath("/a/./b/../c/"), "/a/c");
  EXPECT_EQ(normalFolderPath("//a//b//."), "/a/b");
  EXPECT_EQ(normalFolderPath("/a/b/.."), "/a");
  EXPECT_EQ(normalFolderPath("/../x/../.."), "/");
  EXPECT_EQ(normalFolderPath("/"), "/");
  EXPECT_EQ(normalFolderPath("/a/.hidden/..dots"), "/a/.hidden/..dots");
  EXPECT_FALSE(normalFolderPath(""));
}

TEST_F(FolderSelectionTest, RelativeAndDottedPathsAreSelectedAsFullNormalPaths) {
  InFolder here(dir_.file("music"));
  const std::string music = currentFolder().value_or("?");
  const std::string parent = music.substr(0, music.rfind('/'));
  const std::string photos = parent + "/photos";
  EXPECT_EQ(normalFolderPath("."), music);
  EXPECT_EQ(normalFolderPath(".."), parent);
  EXPECT_EQ(normalFolderPath("../photos/."), photos);
  EXPECT_EQ(normalFolderPath("./../photos/../photos/"), photos);

  // Adding: the selection and "folders.bin" hold the full path.
  FolderSelection selection;
  uint32_t id = 0;
  EXPECT_EQ(addFolder(selection, tracked(), ".", false, &id), AddFolderResult::kAdded);
  EXPECT_EQ(addFolder(selection, tracked(), "../photos/..//photos/.", false, &id),
            AddFolderResult::kAdded);
  ASSERT_EQ(selection.folders.size(), 2u);
  EXPECT_EQ(selection.folders[0].path, music);
  EXPECT_EQ(selection.folders[0].files, 2u);
  EXPECT_EQ(selection.folders[1].path, photos);

  // Rescanning: a stored path with dots is taken as its normal form.
  ASSERT_TRUE(writeFolderSelection({music + "/./", photos + "/../photos"}, list_file_));
  ASSERT_TRUE(rescanSelection(selection, tracked(), false, list_file_));
  ASSERT_EQ(selection.folders.size(), 2u);
  EXPECT_EQ(selection.folders[0].path, music);
  EXPECT_EQ(selection.folders[1].path, photos);
  EXPECT_EQ(selection.folders[1].files, 1u);

  // A backup walk names each root after its real last component.
  std::vector<WalkRoot> roots = walkRoots({".", "..", "../photos/.", "../music/../photos"});
  ASSERT_EQ(roots.size(), 4u);
  EXPECT_EQ(roots[0].full_path, music);
  EXPECT_EQ(roots[0].root_name, "\\music");
  EXPECT_EQ(roots[1].full_path, parent);
  EXPECT_EQ(roots[1].root_name, "\\" + parent.substr(parent.rfind('/') + 1));
  EXPECT_EQ(roots[2].root_name, "\\photos");
  EXPECT_EQ(roots[3].full_path, photos);
  EXPECT_EQ(roots[3].root_name, "\\photos_(2)");
}

TEST_F(FolderSelectionTest, ARelativePathWithoutACurrentDirectoryIsNeverSelected) {
  ASSERT_EQ(::mkdir(dir_.file("doomed").c_str(), 0755), 0);
  InFolder here(dir_.file("doomed"));
  ASSERT_EQ(::rmdir(dir_.file("doomed").c_str()), 0);
  EXPECT_FALSE(normalFolderPath("."));
  FolderSelection selection;
  uint32_t id = 0;
  EXPECT_EQ(addFolder(selection, tracked(), ".", false, &id), AddFolderResult::kScanFailed);
  EXPECT_TRUE(selection.folders.empty());
  // The walk reports it as a selected folder it cannot read.
  BackupWalk::Options options;
  options.cancel_file = dir_.file("cf.bin");
  BackupWalk walk(walkRoots({"."}), options, nullptr, nullptr, nullptr);
  WalkEntry entry;
  EXPECT_EQ(walk.next(&entry), WalkStep::kUnreadableSelectedFolder);
}

TEST(FolderScanAdmission, OneRefreshAtATime) {
  ASSERT_TRUE(tryStartFolderScan());
  EXPECT_FALSE(tryStartFolderScan());
  finishFolderScan();
  EXPECT_TRUE(tryStartFolderScan());
  finishFolderScan();
}

TEST(RootNames, LastComponentWithClashesNumberedInListOrder) {
  EXPECT_EQ(rootNames({"/mnt/c/Users/a/Documents", "/mnt/d/Documents", "/home/b/Documents/",
                       "/home/b/Music"}),
            (std::vector<std::string>{"\\Documents", "\\Documents_(2)", "\\Documents_(3)", "\\Music"}));
  // A numbered name that an earlier folder already has is never given twice.
  EXPECT_EQ(rootNames({"/a/D_(2)", "/b/D", "/c/D"}),
            (std::vector<std::string>{"\\D_(2)", "\\D", "\\D_(3)"}));
  EXPECT_EQ(rootNames({"/", "/x/back\\slash"}),
            (std::vector<std::string>{"\\filesystem_root", "\\back_slash"}));
}

}  // namespace
}  // namespace vl
