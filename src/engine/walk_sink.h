// WalkSink: where the backup walk puts what it finds besides the files it
// hands out: the folder entries of the new copy's list, and files that the
// previous copy holds unchanged.
//
// The backup engine implements it over the new file list and the previous
// copy's index. This class itself records nothing and reuses nothing, which
// suits a walk that only enumerates files.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/file_info.h"

namespace vl {

struct WalkEntry;

class WalkSink {
 public:
  virtual ~WalkSink();

  // The walk entered the folder `relative_path`; the entries inside it
  // follow. False stops the walk (the list could not take the entry).
  virtual bool folderStarted(std::string_view relative_path);
  // Everything inside the folder has been walked; `info` holds the folder's
  // own times and attributes. False stops the walk.
  virtual bool folderEnded(std::string_view relative_path, const FileInfo& info);
  // Quick compare: when the previous copy holds `entry` unchanged (same
  // relative path, creation and last-write times), takes the previous entry
  // over into the new list, sets `sections` to its section count and returns
  // true; the file is then neither read nor handed out. False otherwise.
  virtual bool reuseUnchanged(const WalkEntry& entry, uint32_t* sections);
};

}  // namespace vl
