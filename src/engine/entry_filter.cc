#include "engine/entry_filter.h"

#include <errno.h>

namespace vl {
namespace {

// The outcome of examining a name that could not be examined: something
// that vanished (or a symlink to nothing) is not there to be copied.
EntryClass unexamined() { return errno == ENOENT ? EntryClass::kSkip : EntryClass::kUncheckable; }

EntryClass followSymlink(int folder_fd, const char* name, FileInfo* info) {
  if (!readFileInfoAt(folder_fd, name, true, info)) return unexamined();
  return info->kind == FileKind::kRegular ? EntryClass::kFile : EntryClass::kSkip;
}

}  // namespace

bool passesEntryFilter(std::string_view name, bool is_folder, bool hidden, bool include_hidden,
                       FilterFor traversal, bool parent_is_volume_root) {
  if (name == "." || name == "..") return false;
  if (name == "$RECYCLE.BIN" || name == "$Recycle.Bin") return false;
  if (hidden && name == "System Volume Information") {
    if (traversal == FilterFor::kMeasuringScan ? is_folder : parent_is_volume_root) return false;
  }
  return include_hidden || !hidden;
}

EntryClass classifyEntry(int folder_fd, const FolderEntry& entry, FileInfo* info) {
  // Listing names end with a zero byte.
  const char* name = entry.name.data();
  switch (entry.type) {
    case EntryType::kFolder:
      return EntryClass::kFolder;
    case EntryType::kOther:
      return EntryClass::kSkip;
    case EntryType::kSymlink:
      return followSymlink(folder_fd, name, info);
    case EntryType::kFile:
    case EntryType::kUnknown:
      break;
  }
  if (!readFileInfoAt(folder_fd, name, false, info)) return unexamined();
  if (info->is_symlink) return followSymlink(folder_fd, name, info);
  switch (info->kind) {
    case FileKind::kRegular:
      return EntryClass::kFile;
    case FileKind::kFolder:
      return EntryClass::kFolder;
    case FileKind::kOther:
      break;
  }
  return EntryClass::kSkip;
}

}  // namespace vl
