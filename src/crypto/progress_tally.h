// ProgressTally: per-block progress counting for the hash and cipher loops.
//
// The cancel flag is looked at before every block (a plain load), but the
// count, a shared atomic, is only added to every few kilobytes and when the
// tally ends, so fast block loops do not pay for a locked add per block. The
// total added is the same as counting each block.
#pragma once

#include <cstdint>

#include "core/progress_counter.h"

namespace vl {

class ProgressTally {
 public:
  explicit ProgressTally(ProgressCounter* progress) : progress_(progress) {}
  ProgressTally(const ProgressTally&) = delete;
  ProgressTally& operator=(const ProgressTally&) = delete;
  ~ProgressTally() { flush(); }

  bool attached() const { return progress_ != nullptr; }

  // Called before a block of `n` bytes is processed; false when the holder
  // asked to stop (the block must then not be processed).
  bool step(uint32_t n) {
    if (progress_ == nullptr) return true;
    if (progress_->cancelled()) {
      flush();
      return false;
    }
    pending_ += n;
    if (pending_ >= kFlushBytes) flush();
    return true;
  }

  void flush() {
    if (progress_ != nullptr && pending_ != 0) progress_->add(pending_);
    pending_ = 0;
  }

 private:
  static constexpr uint32_t kFlushBytes = 4096;
  ProgressCounter* progress_;
  uint32_t pending_ = 0;
};

}  // namespace vl
