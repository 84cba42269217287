#include "net/last_address.h"

#include "core/byte_buffer.h"

namespace vl {

bool saveLastAddress(const IpAddress& address, const std::string& path) {
  if (!address.isV4()) return false;
  ByteBuffer bytes(address.bytes.data(), 4);
  return bytes.saveToFile(path);
}

std::optional<IpAddress> loadLastAddress(const std::string& path) {
  ByteBuffer bytes;
  if (!bytes.loadFromFile(path) || bytes.size() != 4) return std::nullopt;
  return IpAddress::v4(std::span<const uint8_t, 4>(bytes.data(), 4));
}

}  // namespace vl
