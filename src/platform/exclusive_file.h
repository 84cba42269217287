// ExclusiveFile: a file that at most one holder at a time can have open.
//
// The instance lock is such a file: holding it open is holding the lock, and
// the lock goes away with the handle, also when the process dies. POSIX has
// no open without sharing, so the file is created (or opened and emptied)
// and then locked with an advisory lock that every process of ours asks for
// before it counts as the holder; a second open in any process, this one
// included, is refused while the first holder keeps it.
#pragma once

#include <string>

#include "platform/file_lock.h"

namespace vl {

class ExclusiveFile {
 public:
  ExclusiveFile() = default;
  ExclusiveFile(const ExclusiveFile&) = delete;
  ExclusiveFile& operator=(const ExclusiveFile&) = delete;
  ~ExclusiveFile();

  // Creates `path` anew (emptying an existing file) and holds it. Held
  // elsewhere only when another holder has it; a file that cannot be
  // created, opened for writing or emptied is a failure.
  LockOutcome create(const std::string& path);
  bool held() const { return lock_.held(); }
  // Lets go of the file; the file itself stays where it is.
  void close();

 private:
  FileLock lock_;
};

}  // namespace vl
