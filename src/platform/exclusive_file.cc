#include "platform/exclusive_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace vl {

ExclusiveFile::~ExclusiveFile() { close(); }

bool ExclusiveFile::create(const std::string& path) {
  close();
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  // flock rather than fcntl: its locks belong to the open file, so a second
  // open in this same process is refused as well, as it would be on a system
  // with true exclusive opens.
  int locked;
  do {
    locked = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  // Emptied only once held, so a refused attempt never touches the holder's file.
  if (locked != 0 || ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void ExclusiveFile::close() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
}

}  // namespace vl
