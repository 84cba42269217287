// BackupWalk: every file below the selected folders, one at a time, for the
// backup engine.
//
// The walk goes depth first, one selected folder after the other, in listing
// order, with the entry filter of the measuring scan (entry_filter.h says
// what happens to symlinks and special files). It keeps a stack of open
// folder listings rather than recursing (FolderStack, which bounds the
// descriptors held), and descends only through opened folders, never
// through symlinks. A folder whose full path is too long for a copy is
// reported like a file's too-long name and not entered: nothing below it
// could be kept, and its own entry would make the copy impossible to
// restore.
//
// Each entry has two paths: the full path on this machine, and the relative
// path kept in the file list: the selected folder's root name, then the
// names below it, all separated by backslashes ("\Documents\tax\2023.pdf").
//
// A folder that cannot be opened is handed to the engine as a pending error;
// the engine asks the user and either calls retryPendingFolder (the next
// call lists the folder again) or just calls next again (the folder is left
// out). Between entries the walk stops at once when the run's cancel flag is
// set, and reads "cf.bin" at most once a second for a cancel request from
// another instance of the program.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/backup_progress.h"
#include "engine/folder_stack.h"
#include "engine/walk_sink.h"
#include "platform/clock.h"
#include "platform/file_info.h"
#include "platform/folders.h"

namespace vl {

// Full paths of this many UTF-16 units or more are too long for a copy.
constexpr size_t kMaxFullPathUnits = 242;

struct WalkRoot {
  std::string full_path;  // the selected folder
  std::string root_name;  // see root_names.h
  // False for a path that has no full form (normalFolderPath); the walk
  // reports it as an unreadable selected folder.
  bool usable = true;
};

// The selected folders, made normal (normalFolderPath), with their root
// names, in list order.
std::vector<WalkRoot> walkRoots(const std::vector<std::string>& selected_paths);

struct WalkEntry {
  std::string full_path;
  std::string relative_path;
  uint32_t attributes = 0;  // kept bits only
  FileTime creation_time = 0;
  FileTime last_access_time = 0;
  FileTime last_write_time = 0;
  uint64_t size = 0;
};

// What a call of BackupWalk::next found. The first five are the kinds the
// engine acts on; each comes with an entry (a folder's entry has its paths
// and, when they could be read, its times and attributes).
enum class WalkStep {
  kFile = 0,                      // a file to back up
  kUnreadableSubFolder = 1,       // pending error: a folder below a selected one
  kUnreadableSelectedFolder = 2,  // pending error: a selected folder itself
  kNameTooLong = 3,               // a file or folder whose full path is too long
  kUncheckable = 4,               // an entry whose status or name cannot be taken in
  kFinished,                      // every selected folder has been walked
  kFailed,                        // cancelled, or a listing failed part-way
};

class BackupWalk {
 public:
  struct Options {
    bool include_hidden = false;
    // Offer every file to the sink's reuseUnchanged first.
    bool quick_compare = false;
    // Where a cancel request from another instance is read.
    std::string cancel_file = "cf.bin";
    // Milliseconds for spacing the reads of `cancel_file`; tests set their own.
    uint32_t (*clock)() = millisecondClock;
  };

  // `cancel` is the run's cancel flag (1 = stop); `progress` and `sink` may
  // be null. All three must outlive the walk.
  BackupWalk(std::vector<WalkRoot> roots, const Options& options, std::atomic<uint8_t>* cancel,
             BackupProgress* progress, WalkSink* sink);
  BackupWalk(const BackupWalk&) = delete;
  BackupWalk& operator=(const BackupWalk&) = delete;

  WalkStep next(WalkEntry* entry);
  // After kUnreadableSubFolder or kUnreadableSelectedFolder: the next call
  // of next lists that folder again instead of leaving it out.
  void retryPendingFolder();

  // True when the walk stopped because of a cancel (the flag or "cf.bin").
  bool cancelled() const;
  // The folder being listed when the walk failed, or the last entry's path.
  const std::string& currentPath() const { return current_path_; }

  // Files handed out, reused or reported too long so far.
  uint32_t filesPassed() const { return files_passed_; }
  // Folders entered, selected folders included.
  uint32_t foldersEntered() const { return folders_entered_; }
  // Files the previous copy held unchanged (quick compare).
  uint32_t nameReusedFiles() const { return name_reused_files_; }

 private:
  struct Frame {
    size_t full_length;      // of this folder's path in full_
    size_t relative_length;  // of this folder's path in relative_
    size_t full_units;       // UTF-16 length of the full path
    FileInfo info;           // the folder's own metadata
  };
  struct Pending {
    bool active = false;
    bool retry = false;
    bool selected_folder = false;
    std::string name;       // within the top frame (sub-folders only)
    size_t name_units = 0;  // its UTF-16 length
  };
  enum class Open { kOpened, kUnreadable, kListRefused };

  // True when the run is to stop: the cancel flag is set, or "cf.bin" (read
  // at most once a second) asks for it.
  bool stopRequested();
  // Opens the next selected folder. kUnreadable sets up a pending error and
  // fills `entry`; kListRefused means the sink refused the folder's entry.
  Open openRoot(WalkEntry* entry);
  // The same for the folder `name` below the top frame.
  Open openChild(const std::string& name, size_t name_units, WalkEntry* entry);
  // Records the folder just entered in `folders_` as a frame.
  bool push(const std::string& name, size_t full_units);
  void describeFolder(WalkEntry* entry) const;
  // Fills `entry` with just the paths of `name` in the top frame.
  void describeEntry(std::string_view name, WalkEntry* entry);
  bool popFrame();
  // The step for a file of the top frame, or nothing when the previous copy
  // held it unchanged and the walk goes on.
  std::optional<WalkStep> fileStep(std::string_view name, size_t name_units, const FileInfo& info,
                                   WalkEntry* entry);

  std::vector<WalkRoot> roots_;
  Options options_;
  std::atomic<uint8_t>* cancel_;
  BackupProgress* progress_;
  WalkSink* sink_;
  WalkSink default_sink_;

  size_t next_root_ = 0;
  FolderStack folders_;      // the open folders, one per frame
  std::vector<Frame> stack_;
  std::string full_;
  std::string relative_;
  Pending pending_;
  std::string current_path_;
  bool cancel_polled_ = false;
  uint32_t last_cancel_poll_ms_ = 0;
  bool stopped_for_cancel_ = false;

  uint32_t files_passed_ = 0;
  uint32_t folders_entered_ = 0;
  uint32_t name_reused_files_ = 0;
};

}  // namespace vl
