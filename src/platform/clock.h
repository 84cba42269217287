// Clocks: wall-clock seconds since 1970 and a millisecond counter.
#pragma once

#include <cstdint>
#include <string>

namespace vl {

// Seconds since 1970-01-01 UTC (the low 32 bits, as state files keep them).
uint32_t secondsSince1970();
// A monotonic millisecond counter; only differences are meaningful. Wraps
// after about 49 days, like the system tick count it stands for.
uint32_t millisecondClock();
// `seconds` since 1970 as the local date and time, "YYYY-MM-DD HH:MM:SS".
std::string localDateTime(uint32_t seconds);

}  // namespace vl
