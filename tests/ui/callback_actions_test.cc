#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/add_read_folder_main_action.h"
#include "ui/backup_main_action.h"
#include "ui/restore_main_action.h"

namespace vl {
namespace {

TEST(UnattendedCallbacks, NeverWaitAndAllowThreeReconnects) {
  BackupMainAction backup;
  EXPECT_EQ(backup.askQuestion("Kunde inte läsa filen", "Could not read file", 1),
            BackupMainAction::kContinue);
  EXPECT_EQ(backup.askQuestion("sv", "en", 0), BackupMainAction::kContinue);
  EXPECT_TRUE(backup.askYesNo("sv", "en", true));
  EXPECT_FALSE(backup.askYesNo("sv", "en", false));
  EXPECT_EQ(backup.reconnectLimit(), 3u);

  RestoreMainAction restore;
  EXPECT_TRUE(restore.askYesNo("sv", "en", true));
  EXPECT_FALSE(restore.askYesNo("sv", "en", false));
  EXPECT_EQ(restore.reconnectLimit(), 3u);
}

class RecordingWindow : public FolderScanWindow {
 public:
  void bringForward() override { ++raised; }
  void showReadingFolder(std::string_view path) override { reading.emplace_back(path); }
  int raised = 0;
  std::vector<std::string> reading;
};

class RecordingBoxes : public MessageBoxUi {
 public:
  void show(std::string_view caption, std::string_view text, MessageBoxIcon icon) override {
    shown.push_back(std::string(caption) + "|" + std::string(text));
    icons.push_back(icon);
  }
  std::vector<std::string> shown;
  std::vector<MessageBoxIcon> icons;
};

TEST(FolderScanCallbacks, DefaultStopsOnlyAtASelectedFolder) {
  FolderMainAction scan;
  EXPECT_FALSE(scan.folderUnreadable("sv", "en", "/a", 1));
  EXPECT_TRUE(scan.folderUnreadable("sv", "en", "/a/b", 0));
}

TEST(FolderScanCallbacks, UnattendedSkipsEverythingSilently) {
  RecordingWindow window;
  RecordingBoxes boxes;
  AddReadFolderMainAction scan(&window, &boxes, true);
  EXPECT_TRUE(scan.folderUnreadable("sv", "en", "/a", 1));
  EXPECT_TRUE(scan.folderUnreadable("sv", "en", "/a/b", 0));
  scan.readingFolder("/a/b");
  EXPECT_EQ(window.raised, 0);
  EXPECT_TRUE(window.reading.empty());
  EXPECT_TRUE(boxes.shown.empty());
  // No window at all is fine unattended.
  AddReadFolderMainAction bare(nullptr, nullptr, true);
  EXPECT_TRUE(bare.folderUnreadable("sv", "en", "/a", 1));
}

TEST(FolderScanCallbacks, InteractiveShowsTheSwedishWarning) {
  RecordingWindow window;
  RecordingBoxes boxes;
  AddReadFolderMainAction scan(&window, &boxes, false);
  EXPECT_FALSE(scan.folderUnreadable("Varning! mapp", "Warning: folder", "/a", 1));
  EXPECT_TRUE(scan.folderUnreadable("Varning! under", "Warning! sub", "/a/b", 0));
  scan.readingFolder("/a/b");
  EXPECT_EQ(window.raised, 2);
  EXPECT_EQ(boxes.shown, (std::vector<std::string>{"Vardlok|Varning! mapp", "Vardlok|Varning! under"}));
  EXPECT_EQ(boxes.icons[0], MessageBoxIcon::kWarning);
  EXPECT_EQ(window.reading, std::vector<std::string>{"/a/b"});
}

}  // namespace
}  // namespace vl
