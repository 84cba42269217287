#include "server/protocol/setup_limiter.h"

namespace vl {

void SetupLimiter::forgetBefore(uint32_t oldest) {
  for (auto it = asked_.begin(); it != asked_.end();) {
    std::deque<uint32_t>& times = it->second;
    while (!times.empty() && times.front() < oldest) times.pop_front();
    it = times.empty() ? asked_.erase(it) : std::next(it);
  }
}

bool SetupLimiter::allow(const std::string& address, uint32_t now) {
  std::lock_guard lock(mutex_);
  forgetBefore(now >= kWindowSeconds ? now - kWindowSeconds + 1 : 0);
  std::deque<uint32_t>& times = asked_[address];
  if (times.size() >= kAllowed) return false;
  times.push_back(now);
  return true;
}

}  // namespace vl
