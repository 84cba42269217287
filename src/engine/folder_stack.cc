#include "engine/folder_stack.h"

#include <utility>

namespace vl {

bool FolderStack::openFirst(const std::string& path) {
  clear();
  Level first;
  if (!first.listing.open(path)) return false;
  levels_.push_back(std::move(first));
  lowest_open_ = 1;
  return true;
}

bool FolderStack::enter(const std::string& name) {
  if (levels_.empty()) return false;
  Level child;
  if (!child.listing.openAt(levels_.back().listing, name.c_str())) return false;
  child.name = name;
  levels_.push_back(std::move(child));
  if (levels_.size() - lowest_open_ > kOpenLevels) park(lowest_open_++);
  return true;
}

void FolderStack::leave() {
  if (levels_.empty()) return;
  const size_t below = levels_.size() - 2;
  if (levels_.size() >= 2 && !levels_[below].listing.isOpen() && !levels_[below].lost) {
    if (reopen(below)) {
      lowest_open_ = below;
    } else {
      levels_[below].lost = true;
    }
  }
  levels_.pop_back();
}

void FolderStack::clear() {
  levels_.clear();
  lowest_open_ = 1;
}

FolderListing::Next FolderStack::next(FolderEntry* entry) {
  if (levels_.empty()) return FolderListing::Next::kError;
  Level& top = levels_.back();
  if (top.lost) return FolderListing::Next::kError;
  if (!top.parked) return top.listing.next(entry);
  if (top.next_left < top.left.size()) {
    const Left& left = top.left[top.next_left++];
    entry->name = left.name;
    entry->type = left.type;
    return FolderListing::Next::kEntry;
  }
  return top.left_error ? FolderListing::Next::kError : FolderListing::Next::kEnd;
}

int FolderStack::topFd() const { return levels_.empty() ? -1 : levels_.back().listing.fd(); }

size_t FolderStack::openListings() const {
  size_t open = 0;
  for (const Level& level : levels_) open += level.listing.isOpen() ? 1 : 0;
  return open;
}

void FolderStack::park(size_t index) {
  Level& level = levels_[index];
  // Taken now, while the handle says which folder this is; a failure leaves
  // an identity that no folder has, so the level is never found again.
  if (!identifyFolder(level.listing.fd(), &level.id)) level.id = FolderId{~uint64_t{0}, ~uint64_t{0}};
  FolderEntry entry;
  for (;;) {
    const FolderListing::Next got = level.listing.next(&entry);
    if (got == FolderListing::Next::kEnd) break;
    if (got == FolderListing::Next::kError) {
      level.left_error = true;
      break;
    }
    level.left.push_back(Left{std::string(entry.name), entry.type});
  }
  level.listing.close();
  level.parked = true;
}

bool FolderStack::reopen(size_t index) {
  // The way up is one step, and the identity check catches a folder that
  // was moved meanwhile, whose ".." now leads elsewhere.
  FolderListing up;
  FolderId id;
  if (up.openAt(levels_[index + 1].listing, "..") && identifyFolder(up.fd(), &id) &&
      id == levels_[index].id) {
    levels_[index].listing = std::move(up);
    return true;
  }
  return reopenFromFirst(index);
}

bool FolderStack::reopenFromFirst(size_t index) {
  // Levels 1 to index are all parked: only the first is open to start from.
  FolderListing at;
  const FolderListing* from = &levels_[0].listing;
  for (size_t i = 1; i <= index; ++i) {
    FolderListing step;
    FolderId id;
    if (!step.openAt(*from, levels_[i].name.c_str()) || !identifyFolder(step.fd(), &id) ||
        id != levels_[i].id) {
      return false;
    }
    at = std::move(step);
    from = &at;
  }
  levels_[index].listing = std::move(at);
  return true;
}

}  // namespace vl
