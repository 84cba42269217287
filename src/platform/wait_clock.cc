#include "platform/wait_clock.h"

#include <errno.h>
#include <time.h>

namespace vl {

uint32_t monotonicSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint32_t>(now.tv_sec);
}

void sleepMilliseconds(uint32_t milliseconds) {
  timespec left{};
  left.tv_sec = static_cast<time_t>(milliseconds / 1000);
  left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  // A signal handled on this thread cuts the sleep short; sleep the rest.
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace vl
