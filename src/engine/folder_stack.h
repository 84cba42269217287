// FolderStack: the folders a depth-first traversal is inside, as open
// listings, with a bounded number of descriptors however deep the tree.
//
// The first folder (the one the traversal started in) and the top
// kOpenLevels folders keep their listings open. A folder further down is
// parked: what is left of its listing is read into memory and its handle is
// closed. When the traversal climbs back to it, it is opened again through
// ".." of the folder being left and accepted only when it is the very folder
// it was (same identity); otherwise it is opened again by name, level by
// level, from the first folder. Its entries keep coming from what was read.
// Opening by full path is never needed, so depth is not limited by the
// longest path the system can open.
//
// Both the measuring scan and the backup walk go through this, so that a
// deep tree cannot take every descriptor the process may hold (and with
// them every other file the run has to open).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/folders.h"

namespace vl {

class FolderStack {
 public:
  // Listings kept open above the first folder.
  static constexpr size_t kOpenLevels = 16;

  FolderStack() = default;
  FolderStack(const FolderStack&) = delete;
  FolderStack& operator=(const FolderStack&) = delete;

  bool empty() const { return levels_.empty(); }
  size_t depth() const { return levels_.size(); }

  // Starts over with the folder `path` alone; false when it cannot be
  // listed (the stack is then empty).
  bool openFirst(const std::string& path);
  // Enters the sub-folder `name` of the top folder, never through a
  // symlink; false when it cannot be listed (the stack is unchanged).
  bool enter(const std::string& name);
  // Leaves the top folder. When the folder below cannot be opened again,
  // its next() reports kError.
  void leave();
  void clear();

  // The next entry of the top folder.
  FolderListing::Next next(FolderEntry* entry);
  // The top folder, open, for the *At operations on its entries.
  int topFd() const;
  // Listings open now (for tests).
  size_t openListings() const;

 private:
  struct Left {
    std::string name;
    EntryType type;
  };
  struct Level {
    FolderListing listing;  // closed while parked
    FolderId id;              // taken when parked
    std::string name;         // within the level below; empty for the first
    bool parked = false;      // entries come from `left`
    std::vector<Left> left;   // what the listing still had when parked
    size_t next_left = 0;
    bool left_error = false;  // the listing failed while being read out
    bool lost = false;        // could not be opened again
  };

  // Reads out and closes the listing of level `index`.
  void park(size_t index);
  // Opens level `index` again from the open level above it.
  bool reopen(size_t index);
  // Opens level `index` again by name from the first folder.
  bool reopenFromFirst(size_t index);

  std::vector<Level> levels_;
  // Levels 1 to lowest_open_ - 1 are parked; the rest are open.
  size_t lowest_open_ = 1;
};

}  // namespace vl
