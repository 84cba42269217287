#include "platform/file_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstring>

namespace vl {
namespace {

// A lock file holds nothing, so it may be readable by all: then a lock file
// that a run as another user created can still be locked by us.
int openLockFile(const std::string& path, FileLock::Use use) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0 || errno != EACCES || use != FileLock::Use::kLockOnly) return fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) errno = EACCES;  // the first refusal is the one that tells
  return fd;
}

}  // namespace

std::string LockOutcome::reason() const { return error != 0 ? std::strerror(error) : ""; }

FileLock::~FileLock() { release(); }

LockOutcome FileLock::acquire(const std::string& path, Wait wait, Use use) {
  release();
  const int fd = openLockFile(path, use);
  if (fd < 0) return {LockOutcome::Kind::kFailed, errno};
  // flock rather than fcntl: fcntl locks belong to the process, so a second
  // open in this same process (another thread, another holder) would be let in.
  int locked;
  do {
    locked = ::flock(fd, wait == Wait::kNo ? LOCK_EX | LOCK_NB : LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK) return {LockOutcome::Kind::kHeldElsewhere, 0};
    return {LockOutcome::Kind::kFailed, error};
  }
  fd_ = fd;
  return {LockOutcome::Kind::kTaken, 0};
}

bool FileLock::emptyFile() const { return fd_ >= 0 && ::ftruncate(fd_, 0) == 0; }

void FileLock::release() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
}

}  // namespace vl
