// FolderMainAction: how the measuring scan of the selected folders reports.
//
// The class itself decides like a caller without windows: an unreadable
// selected folder stops the scan, an unreadable sub-folder is skipped. The
// scans call these operations on the thread that runs them.
#pragma once

#include <cstdint>
#include <string_view>

namespace vl {

class FolderMainAction {
 public:
  FolderMainAction() = default;
  FolderMainAction(const FolderMainAction&) = delete;
  FolderMainAction& operator=(const FolderMainAction&) = delete;
  virtual ~FolderMainAction();

  // The folder `path` could not be opened; the messages say so in both
  // languages. `top_level` is 1 for a selected folder, 0 for a folder below
  // one. True goes on without the folder; false ends the scan. Default: go on
  // unless `top_level` is 1.
  virtual bool folderUnreadable(std::string_view swedish, std::string_view english,
                                std::string_view path, uint32_t top_level);
  // The scan is entering the folder `path`.
  virtual void readingFolder(std::string_view path);
  // The whole selection has been scanned.
  virtual void scanFinished();
};

}  // namespace vl
