#include "platform/name_resolver.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

namespace vl {
namespace {

void addAddress(const addrinfo& info, std::vector<IpAddress>* addresses) {
  if (info.ai_family == AF_INET && info.ai_addrlen >= sizeof(sockaddr_in)) {
    sockaddr_in in{};
    std::memcpy(&in, info.ai_addr, sizeof in);
    uint8_t bytes[4];
    std::memcpy(bytes, &in.sin_addr, 4);
    addresses->push_back(IpAddress::v4(std::span<const uint8_t, 4>(bytes)));
  } else if (info.ai_family == AF_INET6 && info.ai_addrlen >= sizeof(sockaddr_in6)) {
    sockaddr_in6 in6{};
    std::memcpy(&in6, info.ai_addr, sizeof in6);
    uint8_t bytes[16];
    std::memcpy(bytes, &in6.sin6_addr, 16);
    addresses->push_back(IpAddress::v6(std::span<const uint8_t, 16>(bytes)));
  }
}

}  // namespace

bool resolveHost(const std::string& host, std::vector<IpAddress>* addresses, uint32_t* errorCode) {
  addresses->clear();
  *errorCode = 0;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  int result = ::getaddrinfo(host.c_str(), "0", &hints, &found);
  if (result != 0) {
    // The EAI_ values are negative on some systems; reports show a number.
    *errorCode = static_cast<uint32_t>(std::abs(result));
    return false;
  }
  for (const addrinfo* info = found; info != nullptr; info = info->ai_next) addAddress(*info, addresses);
  ::freeaddrinfo(found);
  if (addresses->empty()) {
    *errorCode = static_cast<uint32_t>(std::abs(EAI_NONAME));
    return false;
  }
  return true;
}

}  // namespace vl
