// SetupLimiter: how many accounts one network address may ask for.
//
// The setup request carries no credential, so anyone who reaches the server
// can send it; without a limit one host could take every free account. An
// address may ask kAllowed times in any window of kWindowSeconds; later
// requests in the window are refused (and are not counted). Addresses whose
// requests have all left the window are forgotten, so the table stays small.
// Safe to use from several connection threads.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>

namespace vl {

class SetupLimiter {
 public:
  static constexpr uint32_t kWindowSeconds = 60;
  static constexpr uint32_t kAllowed = 3;

  // True, and the request is counted, when `address` may ask now.
  [[nodiscard]] bool allow(const std::string& address, uint32_t now);

 private:
  void forgetBefore(uint32_t oldest);

  std::mutex mutex_;
  // Per address, the times of its counted requests, oldest first; guarded by mutex_.
  std::map<std::string, std::deque<uint32_t>> asked_;
};

}  // namespace vl
