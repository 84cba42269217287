// The single-instance rule: at most one interactive program and at most one
// background run at a time, decided by who holds "file_mutex".
//
// The holder records in "gui_on.bin" whether it is the interactive program
// (1) or a background run (0), so that a second start can tell whom it met:
// a second interactive start brings the first window forward (its handle is
// in "wnd.bin") or waits for a background copy to finish; a background run
// that meets the interactive program logs that a copy cannot start.
//
// Only a lock that another process holds is "another instance". When
// "file_mutex" cannot be created or opened at all (left by a run as another
// user, a folder in its place, no descriptors left), the start fails with a
// message (logged when unattended, shown when interactive), so a scheduled
// run never ends without a trace.
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/copy_log.h"
#include "platform/exclusive_file.h"
#include "platform/message_box.h"

namespace vl {

inline constexpr char kInstanceLockFile[] = "file_mutex";

// What came of the single-instance check.
enum class InstanceStart : unsigned char {
  kTaken,    // this process holds the lock
  kRefused,  // another instance holds it
  kFailed,   // the lock file could not be used; the message is out
};

// What the single-instance check needs from the windows of an interactive
// start.
class InstanceWindows {
 public:
  virtual ~InstanceWindows() = default;
  virtual MessageBoxUi& messageBoxes() = 0;
  // The "Kopiering pågår" dialog: shows the background copy's progress and
  // returns 1 when it finished and the user chose to go on, else 0.
  virtual int waitForBackgroundCopy() = 0;
  // Shows the window with this handle and brings it to the foreground.
  virtual void bringWindowForward(uint32_t handle) = 0;
};

class InstanceLock {
 public:
  InstanceLock() = default;
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;
  // Releases the lock as release() does.
  ~InstanceLock();

  // Takes the lock in the current directory. Unattended (`windows` null),
  // refusals and failures are logged in the language of `log` (on standard
  // error when even the log cannot be written); interactive, they are shown
  // through `windows`.
  InstanceStart acquire(InstanceWindows* windows, const LogContext& log);
  bool held() const { return file_.held(); }
  // Records that nobody runs ("gui_on.bin" 0) and lets go of the lock. The
  // record is written while the lock is still held, so it can never
  // overwrite the record of a process that takes the lock next.
  void release();

 private:
  LockOutcome take(bool interactive);
  void reportFailure(InstanceWindows* windows, const LogContext& log, const LockOutcome& outcome);

  ExclusiveFile file_;
};

}  // namespace vl
