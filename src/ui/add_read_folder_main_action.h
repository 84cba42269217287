// AddReadFolderMainAction: the scan callback of the start-up and refresh
// scans and of adding a folder.
//
// Unattended it never asks: every unreadable folder is skipped. With a
// window it brings the window forward, shows the Swedish message in a
// warning box and then decides as FolderMainAction does; the folder being
// read is shown in the reading-folders dialog.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/message_box.h"
#include "ui/folder_main_action.h"

namespace vl {

// The window a scan reports to (the reading-folders dialog or the main
// window).
class FolderScanWindow {
 public:
  virtual ~FolderScanWindow() = default;
  // Shows the window normally and brings it to the foreground.
  virtual void bringForward() = 0;
  // Puts `path` into the "Läser mappar..." line.
  virtual void showReadingFolder(std::string_view path) = 0;
};

class AddReadFolderMainAction : public FolderMainAction {
 public:
  // `window` and `boxes` may be null when `unattended` is set; otherwise they
  // must outlive this object.
  AddReadFolderMainAction(FolderScanWindow* window, MessageBoxUi* boxes, bool unattended);

  bool folderUnreadable(std::string_view swedish, std::string_view english, std::string_view path,
                        uint32_t top_level) override;
  void readingFolder(std::string_view path) override;

 private:
  FolderScanWindow* window_;
  MessageBoxUi* boxes_;
  bool unattended_;
};

}  // namespace vl
