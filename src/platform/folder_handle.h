// FolderHandle: an open folder, through which its entries are made, opened
// and removed by name.
//
// Working relative to an open folder instead of by full path means each name
// is looked up in that folder only: a folder renamed or replaced higher up
// cannot redirect what happens below it. Opening a sub-folder this way never
// follows a symlink, so a walk down from a folder the user chose stays inside
// it whatever was planted there. The handle is closed when the object goes
// away.
#pragma once

#include <string>

#include "platform/file_info.h"

namespace vl {

class FolderHandle {
 public:
  FolderHandle() = default;
  FolderHandle(const FolderHandle&) = delete;
  FolderHandle& operator=(const FolderHandle&) = delete;
  FolderHandle(FolderHandle&& other) noexcept;
  FolderHandle& operator=(FolderHandle&& other) noexcept;
  ~FolderHandle();

  // Opens the folder `path`. When `path` itself is a symlink it is followed
  // only with `followSymlink` set (a chosen folder may be reached through a
  // link; a folder this program just made must not be).
  bool open(const std::string& path, bool followSymlink = true);
  // Opens the sub-folder `name` of `parent`; false when it is not a folder,
  // also when it is a symlink to one.
  bool openAt(const FolderHandle& parent, const char* name);

  bool isOpen() const { return fd_ >= 0; }
  // The open folder, for the *At operations on its entries.
  int fd() const { return fd_; }
  void close();

  // Makes the new sub-folder `name`; false when the name is taken.
  bool createSubfolder(const char* name) const;
  // Removes the file `name`. True when no file of that name is left, also
  // when there was none.
  bool removeFile(const char* name) const;

  // Takes every write permission away from the folder itself (the read-only
  // attribute); nothing is changed when it has none.
  bool setReadOnly() const;
  // Sets the folder's own last-access and last-write times, as
  // setOpenFileTimes does.
  bool setTimes(FileTime creation_time, FileTime last_access_time, FileTime last_write_time) const;

 private:
  bool openWith(int base, const char* path, int flags);

  int fd_ = -1;
};

}  // namespace vl
