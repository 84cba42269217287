#include "ui/add_read_folder_main_action.h"

namespace vl {

AddReadFolderMainAction::AddReadFolderMainAction(FolderScanWindow* window, MessageBoxUi* boxes,
                                                 bool unattended)
    : window_(window), boxes_(boxes), unattended_(unattended) {}

bool AddReadFolderMainAction::folderUnreadable(std::string_view swedish, std::string_view english,
                                               std::string_view path, uint32_t top_level) {
  if (unattended_) return true;
  if (window_ != nullptr) window_->bringForward();
  if (boxes_ != nullptr) boxes_->show("Vardlok", swedish, MessageBoxIcon::kWarning);
  return FolderMainAction::folderUnreadable(swedish, english, path, top_level);
}

void AddReadFolderMainAction::readingFolder(std::string_view path) {
  if (!unattended_ && window_ != nullptr) window_->showReadingFolder(path);
}

}  // namespace vl
