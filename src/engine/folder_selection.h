// The folders selected for backup, with what the last measuring scan found
// below each.
//
// The list lives in the system object for the program's life and on disk in
// "folders.bin". Every rescan rebuilds it from that file; the caller saves it
// after adding a folder, and removing one saves it at once. Ids are unique
// for the life of the list and never reused, also across rescans.
//
// The list itself takes no lock: the interactive program admits one scan at
// a time (tryStartFolderScan) and does not touch the list while it runs.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ui/folder_main_action.h"

namespace vl {

struct SelectedFolder {
  std::string path;       // as chosen, a full path
  uint32_t files = 0;     // found below it by the last measuring scan
  uint32_t sections = 0;  // 2 MiB sections those files occupy
  uint64_t bytes = 0;
  uint32_t id = 0;
};

struct FolderSelection {
  std::vector<SelectedFolder> folders;  // in selection order
  uint32_t next_id = 1;
  // The selected folder being scanned: tells an unreadable selected folder
  // from an unreadable folder below it.
  std::string current_path;
};

// The selected folder `path` as the selection keeps it: a full path with no
// "." or ".." component, no doubled or trailing separator ("/" stays "/").
// A relative path is taken from the current directory. ".." is resolved on
// the path as written: "a/link/.." is "a" whatever "link" points to, as the
// user reads it. Nothing when `path` is empty or relative and the current
// directory cannot be found. Every way into the selection and into a backup
// walk goes through this, so that a root name is never "." or "..".
std::optional<std::string> normalFolderPath(std::string_view path);

// Empties the list, reads "folders.bin" (or `file`) and measures each stored
// folder (made normal, as above) in file order; a folder whose scan failed
// is kept with zero totals.
// Calls scanFinished and destroys `callback` (null: the default callback).
// False only when the file cannot be read; the list is then empty.
bool rescanSelection(FolderSelection& selection, std::unique_ptr<FolderMainAction> callback,
                     bool include_hidden, const std::string& file = "folders.bin");

enum class AddFolderResult {
  kAdded,
  kScanFailed,      // the scan gave up; nothing was added
  kPathNotStorable  // "folders.bin" cannot hold this path exactly; nothing was added
};

// Messages for kPathNotStorable, Swedish and English.
extern const std::string_view kPathNotStorableSv;
extern const std::string_view kPathNotStorableEn;

// Measures `path` (see normalFolderPath; kScanFailed when it has no full
// path) and, when the scan succeeds, appends it with a new id (given in
// `id`), calls scanFinished and destroys `callback`. The caller saves the
// selection afterwards.
AddFolderResult addFolder(FolderSelection& selection, std::unique_ptr<FolderMainAction> callback,
                          const std::string& path, bool include_hidden, uint32_t* id);
// Removes the folder with this id, keeping the order of the others, and
// saves "folders.bin" (or `file`). False when no folder has the id; the
// result of the save is not reported.
bool removeFolder(FolderSelection& selection, uint32_t id, const std::string& file = "folders.bin");
// Writes the selection's paths to `file`. False when a path cannot be stored
// exactly (nothing is written) or the write fails.
bool saveSelection(const FolderSelection& selection, const std::string& file);

uint32_t totalFiles(const FolderSelection& selection);
uint32_t totalSections(const FolderSelection& selection);
uint64_t totalBytes(const FolderSelection& selection);
// The path of the folder at `index`, or an empty string past the end.
std::string pathAt(const FolderSelection& selection, size_t index);

// Admits one folder-refresh thread at a time in this process: false while
// another refresh runs. finishFolderScan lets the next one in.
bool tryStartFolderScan();
void finishFolderScan();
// Shown when a refresh is asked for while one runs, and when one fails.
extern const std::string_view kFolderScanBusySv;
extern const std::string_view kFolderScanFailedSv;

}  // namespace vl
