// ServerEndpoint: where the backup server listens.
//
// The built-in endpoint comes from the build (VL_SERVER_HOST, port 55502
// unless VL_SERVER_PORT says otherwise); a user who runs their own server
// stores another one in the working directory (server_setting.h).
#pragma once

#include <cstdint>
#include <string>

namespace vl {

inline constexpr uint16_t kDefaultServerPort = 55502;

struct ServerEndpoint {
  // A fixed IPv4 address in host byte order; 0 = resolve `host`.
  uint32_t address = 0;
  uint16_t port = kDefaultServerPort;
  // A host name, or an IPv4 or IPv6 literal.
  std::string host;
};

// The endpoint built into the program.
ServerEndpoint builtInServerEndpoint();

}  // namespace vl
