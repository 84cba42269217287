// "last_ip.bin": the server's IPv4 address from the last successful name
// resolution, used when a later resolution fails (a resolver that is down
// while the server is not).
//
// A buffer file whose buffer holds exactly the 4 address bytes in network
// order. Only IPv4 addresses are kept there.
#pragma once

#include <optional>
#include <string>

#include "platform/ip_address.h"

namespace vl {

inline constexpr char kLastAddressFile[] = "last_ip.bin";

// Saves an IPv4 address; false when the file cannot be written (or the
// address is not IPv4).
[[nodiscard]] bool saveLastAddress(const IpAddress& address, const std::string& path = kLastAddressFile);
// The stored address; nothing when the file is missing, unreadable or does
// not hold exactly 4 bytes.
std::optional<IpAddress> loadLastAddress(const std::string& path = kLastAddressFile);

}  // namespace vl
