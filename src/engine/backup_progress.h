// BackupProgress: how far a copy has come, in 2 MiB sections.
//
// The total is the sum of the selected folders' section counts from the last
// measuring scan. Every advance (a section read, or a whole file reused
// without reading) goes to the callback object at once, and to "progr.bin"
// at most once a second, for a second instance of the program to show.
#pragma once

#include <cstdint>
#include <string>

#include "ui/backup_main_action.h"

namespace vl {

class BackupProgress {
 public:
  // `callback` may be null. `file` is where progress is written.
  BackupProgress(BackupMainAction* callback, uint32_t total_sections,
                 std::string file = "progr.bin");

  // `sections` more sections are done and `bytes` more bytes handled.
  void advance(uint32_t sections, uint64_t bytes);
  // Writes the progress file now, whatever the time since the last write
  // (at the start and at the end of a copy).
  bool writeNow();

  // The copy no longer runs: done is made equal to the total (the total to
  // done, when more was done than the scan measured) and written at once,
  // so that a second instance waiting for done = total sees the end.
  bool finish();

  uint32_t done() const { return done_; }
  uint32_t total() const { return total_; }
  uint64_t bytesDone() const { return bytes_done_; }

 private:
  BackupMainAction* callback_;
  uint32_t total_;
  uint32_t done_ = 0;
  uint64_t bytes_done_ = 0;
  std::string file_;
  bool written_ = false;
  uint32_t last_write_ms_ = 0;
};

}  // namespace vl
