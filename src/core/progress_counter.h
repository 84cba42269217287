// ProgressCounter: bytes processed by a long operation and a cancel request.
//
// Hashing, ciphers, random generation and buffer-file transfers add to
// `bytes` as they go and stop at their next block once `cancel` is set. One
// thread (the worker) counts, another (the window or a poller) reads the count
// and may set the flag, so both fields are atomics.
#pragma once

#include <atomic>
#include <cstdint>

namespace vl {

struct ProgressCounter {
  std::atomic<uint32_t> bytes{0};
  std::atomic<uint8_t> cancel{0};

  void add(uint32_t n) { bytes.fetch_add(n, std::memory_order_relaxed); }
  bool cancelled() const { return cancel.load(std::memory_order_relaxed) != 0; }
  void requestCancel() { cancel.store(1, std::memory_order_relaxed); }
};

// Adds `n` to `progress` when there is one; returns false when the holder
// asked to stop. The usual step of every blockwise loop.
inline bool countProgress(ProgressCounter* progress, uint32_t n) {
  if (progress == nullptr) return true;
  if (progress->cancelled()) return false;
  progress->add(n);
  return true;
}

}  // namespace vl
