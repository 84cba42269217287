#include "ui/folder_main_action.h"

namespace vl {

FolderMainAction::~FolderMainAction() = default;

bool FolderMainAction::folderUnreadable(std::string_view, std::string_view, std::string_view,
                                        uint32_t top_level) {
  return top_level != 1;
}

void FolderMainAction::readingFolder(std::string_view) {}

void FolderMainAction::scanFinished() {}

}  // namespace vl
