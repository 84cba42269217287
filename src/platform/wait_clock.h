// Waiting and the clock that idle limits are measured with.
//
// Idle limits and reconnect pauses count elapsed time, so they read a
// monotonic clock: setting the wall clock back or forth must neither cut a
// transfer short nor stretch a limit.
#pragma once

#include <cstdint>

namespace vl {

// Whole seconds of a monotonic clock; only differences are meaningful.
uint32_t monotonicSeconds();
// Blocks the calling thread for `milliseconds`.
void sleepMilliseconds(uint32_t milliseconds);

}  // namespace vl
