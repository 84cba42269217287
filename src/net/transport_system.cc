#include "net/transport_system.h"

#include "platform/name_resolver.h"
#include "platform/wait_clock.h"

namespace vl {

bool TransportSystem::resolve(const std::string& host, std::vector<IpAddress>* addresses,
                              uint32_t* errorCode) {
  return resolveHost(host, addresses, errorCode);
}

uint32_t TransportSystem::seconds() { return monotonicSeconds(); }

void TransportSystem::sleepMilliseconds(uint32_t milliseconds) { vl::sleepMilliseconds(milliseconds); }

TransportSystem& systemTransport() {
  static TransportSystem system;
  return system;
}

}  // namespace vl
