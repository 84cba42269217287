// FileLock: the lock on a shared file that several processes of ours change.
//
// The lock lives on a separate lock file beside the shared one and is
// advisory: every process of ours takes it before reading and rewriting the
// shared file, so no change overwrites another. It belongs to the open lock
// file, so two threads of one process exclude each other as well, and it
// goes away with the handle, also when the process dies.
#pragma once

#include <string>

namespace vl {

class FileLock {
 public:
  FileLock() = default;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  // Lets go of the lock.
  ~FileLock();

  enum class Wait : unsigned char { kUntilFree, kNo };

  // Opens the lock file `path`, creating it when needed, and takes the lock,
  // waiting while another holder has it unless `wait` is kNo. False,
  // holding nothing, when the file cannot be opened or the lock not taken.
  bool acquire(const std::string& path, Wait wait = Wait::kUntilFree);
  bool held() const { return fd_ >= 0; }
  // Empties the lock file itself; the lock stays held.
  bool emptyFile() const;
  void release();

 private:
  int fd_ = -1;
};

}  // namespace vl
