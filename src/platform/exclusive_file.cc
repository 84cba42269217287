#include "platform/exclusive_file.h"

#include <errno.h>

namespace vl {

ExclusiveFile::~ExclusiveFile() { close(); }

LockOutcome ExclusiveFile::create(const std::string& path) {
  close();
  const LockOutcome outcome =
      lock_.acquire(path, FileLock::Wait::kNo, FileLock::Use::kWriteToIt);
  if (!outcome) return outcome;
  // Emptied only once held, so a refused attempt never touches the holder's file.
  if (!lock_.emptyFile()) {
    const int error = errno;
    lock_.release();
    return {LockOutcome::Kind::kFailed, error};
  }
  return outcome;
}

void ExclusiveFile::close() { lock_.release(); }

}  // namespace vl
