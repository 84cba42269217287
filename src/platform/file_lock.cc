#include "platform/file_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace vl {

FileLock::~FileLock() { release(); }

bool FileLock::acquire(const std::string& path, Wait wait) {
  release();
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  // flock rather than fcntl: fcntl locks belong to the process, so a second
  // open in this same process (another thread, another holder) would be let in.
  int locked;
  do {
    locked = ::flock(fd, wait == Wait::kNo ? LOCK_EX | LOCK_NB : LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

bool FileLock::emptyFile() const { return fd_ >= 0 && ::ftruncate(fd_, 0) == 0; }

void FileLock::release() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
}

}  // namespace vl
