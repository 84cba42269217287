// What the transport needs from the system besides the socket itself: name
// resolution, a clock in whole seconds and a way to wait, with the timings
// of the protocol.
//
// Tests replace these to resolve made-up names, to fail resolution and to
// let idle limits and reconnect pauses pass without real waiting.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ip_address.h"

namespace vl {

class TransportSystem {
 public:
  virtual ~TransportSystem() = default;
  // As resolveHost: the addresses in the order to try them, or false with the
  // resolver's error number.
  virtual bool resolve(const std::string& host, std::vector<IpAddress>* addresses, uint32_t* errorCode);
  // Whole seconds of a monotonic clock.
  virtual uint32_t seconds();
  virtual void sleepMilliseconds(uint32_t milliseconds);
};

// The real system.
TransportSystem& systemTransport();

struct TransportTimings {
  // One wait for incoming data; the idle limit is checked after each.
  uint32_t waitSliceMs = 2000;
  // Longest silence of the server, in seconds, before the connection counts
  // as lost; the long limit applies when the exchange asked for it.
  uint32_t idleLimitS = 90;
  uint32_t longIdleLimitS = 600;
  // Longest wait for the server to take a connection; a host that cannot be
  // reached then fails in this time instead of the system's minutes.
  uint32_t connectLimitMs = 30000;
  // Pause before the first reconnect after a working exchange, and before
  // each further one.
  uint32_t firstRetryMs = 15000;
  uint32_t laterRetryMs = 5000;
};

}  // namespace vl
