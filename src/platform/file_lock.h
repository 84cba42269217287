// FileLock: the lock on a shared file that several processes of ours change.
//
// The lock lives on a separate lock file beside the shared one and is
// advisory: every process of ours takes it before reading and rewriting the
// shared file, so no change overwrites another. It belongs to the open lock
// file, so two threads of one process exclude each other as well, and it
// goes away with the handle, also when the process dies.
//
// Only "someone else has it" means the lock is held elsewhere; a lock file
// that cannot be opened (not ours, a folder in its place, no descriptors
// left) is a failure with the system's reason, never mistaken for a holder.
#pragma once

#include <string>

namespace vl {

// What came of an attempt to take a lock. True only when it was taken.
struct LockOutcome {
  enum class Kind : unsigned char { kTaken, kHeldElsewhere, kFailed };

  Kind kind = Kind::kFailed;
  int error = 0;  // the system's error number of a failure, else 0

  explicit operator bool() const { return kind == Kind::kTaken; }
  bool failed() const { return kind == Kind::kFailed; }
  // The system's description of `error`, for messages.
  std::string reason() const;
};

class FileLock {
 public:
  FileLock() = default;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  // Lets go of the lock.
  ~FileLock();

  enum class Wait : unsigned char { kUntilFree, kNo };
  // Whether the holder writes to the lock file itself. A lock file that only
  // locks may be one we cannot write (left by a run as another user): it is
  // then opened for reading, which is enough to lock it.
  enum class Use : unsigned char { kLockOnly, kWriteToIt };

  // Opens the lock file `path`, creating it when needed, and takes the lock,
  // waiting while another holder has it unless `wait` is kNo. Holding
  // nothing unless the outcome is kTaken.
  LockOutcome acquire(const std::string& path, Wait wait = Wait::kUntilFree,
                      Use use = Use::kLockOnly);
  bool held() const { return fd_ >= 0; }
  // Empties the lock file itself; the lock stays held.
  bool emptyFile() const;
  void release();

 private:
  int fd_ = -1;
};

}  // namespace vl
