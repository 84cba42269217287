#include "net/server_endpoint.h"

#ifndef VL_SERVER_HOST
#define VL_SERVER_HOST "localhost"
#endif
#ifndef VL_SERVER_PORT
#define VL_SERVER_PORT 55502
#endif

namespace vl {

static_assert(VL_SERVER_PORT > 0 && VL_SERVER_PORT <= 65535, "VL_SERVER_PORT must be a TCP port");

ServerEndpoint builtInServerEndpoint() {
  ServerEndpoint endpoint;
  endpoint.port = static_cast<uint16_t>(VL_SERVER_PORT);
  endpoint.host = VL_SERVER_HOST;
  return endpoint;
}

}  // namespace vl
