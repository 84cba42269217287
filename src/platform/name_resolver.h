// Host name resolution for TCP clients.
//
// A name may stand for IPv4 and IPv6 addresses alike; they come back in the
// order the system prefers, which is the order in which to try them. IP
// literals ("192.0.2.7", "::1") resolve to themselves without any lookup.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ip_address.h"

namespace vl {

// The addresses of `host` for a TCP stream. False, with `addresses` empty
// and `errorCode` set to the resolver's (positive) error number, when the
// name cannot be resolved or yields no usable address.
[[nodiscard]] bool resolveHost(const std::string& host, std::vector<IpAddress>* addresses,
                               uint32_t* errorCode);

}  // namespace vl
