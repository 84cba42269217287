// Which listed entries the folder scans look at, and what each one is.
//
// Both the measuring scan and the backup walk skip the same names, so that
// the counts of the one are the progress range of the other:
//   "." and "..", the recycle bins "$RECYCLE.BIN" and "$Recycle.Bin" (exact
//   case), the hidden "System Volume Information" of a volume's root, and
//   every hidden entry (a name starting with a dot) unless hidden files are
//   included.
//
// On this platform both traversals also decide alike about entries that are
// not plain files or folders:
//   - a symlink to a folder is never followed (no loops, no leaving the tree);
//   - a symlink to a regular file counts as that file: its content is backed
//     up under the link's name, with the target's size and times;
//   - FIFOs, sockets and devices, and symlinks to them, are never opened
//     (reading one could block forever) and are left out silently, as is a
//     symlink that points nowhere or an entry removed while being listed;
//   - an entry whose status cannot be examined for another reason is reported
//     so that the copy can log it as left out.
#pragma once

#include <string_view>

#include "platform/file_info.h"
#include "platform/folders.h"

namespace vl {

enum class FilterFor { kMeasuringScan, kBackupWalk };

// False when the entry `name` is skipped. `is_folder` and `hidden` describe
// the entry; `parent_is_volume_root` tells whether it is listed in the root
// of a volume (the backup walk only looks for the volume's own folder there).
bool passesEntryFilter(std::string_view name, bool is_folder, bool hidden, bool include_hidden,
                       FilterFor traversal, bool parent_is_volume_root);

enum class EntryClass {
  kSkip,         // not something a copy holds; leave out silently
  kFile,         // a regular file (possibly reached through a symlink)
  kFolder,       // a real folder, to be descended into
  kUncheckable,  // its status could not be examined
};

// Decides what `entry`, listed in the folder open as `folder_fd`, is. For a
// kFile `info` holds its metadata. For a kFolder `info` is filled only when
// the listing did not tell the entry's type.
EntryClass classifyEntry(int folder_fd, const FolderEntry& entry, FileInfo* info);

}  // namespace vl
