#include "platform/lock_probe.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace vl {

bool lockHeldElsewhere(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  // A shared request is refused only while an exclusive holder has it; one
  // granted is given back at once with the handle.
  int locked;
  do {
    locked = ::flock(fd, LOCK_SH | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  const bool busy = locked != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return busy;
}

}  // namespace vl
