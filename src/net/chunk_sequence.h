// ChunkSequence: the per-exchange counter that ties every answer to the
// request it answers and keeps an old chunk from being played again.
//
// The client advances it for every authenticated request it builds and
// sends the new value first in the request's plaintext; the answer must echo
// that value. The side that receives requests accepts only the value after
// the last one it accepted, and moves on only for a chunk whose MAC has been
// checked: a forged chunk can then never move the counter (openRequest in
// chunk_framing.h is the way to do both in the right order).
//
// Starts at 0 and goes back to 0 whenever a new start chunk is built.
#pragma once

#include <cstdint>

namespace vl {

class ChunkSequence {
 public:
  // The number the next request carries; the counter moves on to it.
  uint32_t next() { return ++counter_; }
  // The number last sent (or last accepted); 0 before the first.
  uint32_t last() const { return counter_; }
  // For a number read from a chunk whose MAC checked: true, and the counter
  // moves on, when it is the one after the last.
  [[nodiscard]] bool acceptNext(uint32_t number) {
    if (number != counter_ + 1) return false;
    counter_ = number;
    return true;
  }
  void reset() { counter_ = 0; }

 private:
  uint32_t counter_ = 0;
};

}  // namespace vl
