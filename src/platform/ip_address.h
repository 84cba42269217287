// IpAddress: an IPv4 or IPv6 address as it travels, in network byte order.
//
// Name resolution yields these and a TcpSocket connects to one; nothing else
// about the system's address structures leaves the platform layer.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace vl {

struct IpAddress {
  enum class Family : uint8_t { kV4, kV6 };

  Family family = Family::kV4;
  // The address in network byte order; an IPv4 address uses the first 4.
  std::array<uint8_t, 16> bytes{};

  // From the four bytes in network order (as "last_ip.bin" keeps them).
  static IpAddress v4(std::span<const uint8_t, 4> networkOrder);
  // From a u32 in host byte order (127.0.0.1 is 0x7f000001).
  static IpAddress v4FromHost(uint32_t hostOrder);
  static IpAddress v6(std::span<const uint8_t, 16> networkOrder);

  bool isV4() const { return family == Family::kV4; }
  bool operator==(const IpAddress&) const = default;
};

}  // namespace vl
