#include "platform/ip_address.h"

#include <algorithm>

namespace vl {

IpAddress IpAddress::v4(std::span<const uint8_t, 4> networkOrder) {
  IpAddress address;
  std::copy(networkOrder.begin(), networkOrder.end(), address.bytes.begin());
  return address;
}

IpAddress IpAddress::v4FromHost(uint32_t hostOrder) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(hostOrder >> 24), static_cast<uint8_t>(hostOrder >> 16),
                            static_cast<uint8_t>(hostOrder >> 8), static_cast<uint8_t>(hostOrder)};
  return v4(std::span<const uint8_t, 4>(bytes));
}

IpAddress IpAddress::v6(std::span<const uint8_t, 16> networkOrder) {
  IpAddress address;
  address.family = Family::kV6;
  std::copy(networkOrder.begin(), networkOrder.end(), address.bytes.begin());
  return address;
}

}  // namespace vl
