#include "platform/exclusive_file.h"

namespace vl {

ExclusiveFile::~ExclusiveFile() { close(); }

bool ExclusiveFile::create(const std::string& path) {
  close();
  if (!lock_.acquire(path, FileLock::Wait::kNo)) return false;
  // Emptied only once held, so a refused attempt never touches the holder's file.
  if (!lock_.emptyFile()) {
    lock_.release();
    return false;
  }
  return true;
}

void ExclusiveFile::close() { lock_.release(); }

}  // namespace vl
