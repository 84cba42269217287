#include "platform/c_rand.h"

#include <atomic>

namespace vl {
namespace {
// Seeded with 1 like the C library's own generator before any srand call.
std::atomic<uint32_t> g_next{1};
}  // namespace

void cSrand(uint32_t seed) { g_next.store(seed, std::memory_order_relaxed); }

int cRand() {
  uint32_t current = g_next.load(std::memory_order_relaxed);
  uint32_t next;
  do {
    next = current * 1103515245u + 12345u;
  } while (!g_next.compare_exchange_weak(current, next, std::memory_order_relaxed));
  return static_cast<int>((next / 65536u) % 32768u);
}

}  // namespace vl
