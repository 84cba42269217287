// The measuring scan: how many files, 2 MiB sections and bytes lie below a
// folder.
//
// Its totals decide the 250 000-file limit, the quota warnings and the range
// of a copy's progress. The scan goes depth first in listing order, applies
// the entry filter, and asks its callback what to do about a folder that
// cannot be opened: go on without it, or give up. It works relative to open
// folders (no path is rebuilt per file) and examines only regular files, so
// it costs about as much as `du` on the same tree.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ui/folder_main_action.h"

namespace vl {

constexpr uint32_t kSectionBytes = 2097152;

struct ScanTotals {
  uint32_t files = 0;
  uint32_t sections = 0;  // sum of ceil(size / 2 MiB) over the files
  uint64_t bytes = 0;
};

// Sections that a file of `size` bytes occupies.
constexpr uint32_t sectionsFor(uint64_t size) {
  return static_cast<uint32_t>((size + kSectionBytes - 1) / kSectionBytes);
}

struct ScanRequest {
  std::string path;          // the folder to measure
  bool adding = false;       // the user is adding this folder
  bool include_hidden = false;
  std::string current_path;  // the selected folder being scanned
};

// Adds what lies below `request.path` to `totals`. An unreadable folder is
// put to `callback` (top level for `request.path` itself); its answer is the
// result for that folder. False when the callback gave up or a listing
// failed part-way; `totals` then holds a partial count.
bool measureFolder(const ScanRequest& request, FolderMainAction& callback, ScanTotals* totals);

struct FolderMessages {
  std::string swedish;
  std::string english;
};

// The texts for the unreadable folder `path`: the adding texts (with advice
// about hidden folders when they are included), or for a rescan the texts
// for the selected folder itself (when `path` is `current_path`) or for a
// folder below it.
FolderMessages unreadableFolderMessages(std::string_view path, const ScanRequest& request);

}  // namespace vl
