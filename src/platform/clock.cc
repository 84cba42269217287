#include "platform/clock.h"

#include <time.h>

namespace vl {

uint32_t secondsSince1970() { return static_cast<uint32_t>(::time(nullptr)); }

uint32_t millisecondClock() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

std::string localDateTime(uint32_t seconds) {
  const time_t when = static_cast<time_t>(seconds);
  tm local{};
  char text[32] = "";
  if (::localtime_r(&when, &local) == nullptr ||
      ::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) {
    return std::to_string(seconds);
  }
  return text;
}

}  // namespace vl
