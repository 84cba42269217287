#include "platform/os_random.h"

#include <errno.h>
#include <sys/random.h>

#include <cstdint>

namespace vl {

bool osRandomBytes(void* out, size_t length) {
  auto* bytes = static_cast<uint8_t*>(out);
  while (length > 0) {
    ssize_t got = ::getrandom(bytes, length, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += got;
    length -= static_cast<size_t>(got);
  }
  return true;
}

}  // namespace vl
