#include "vltool/tool_pool.h"

#include "core/secure_wipe.h"
#include "platform/os_random.h"

namespace vltool {

std::unique_ptr<vl::RandomPool> osCreditedPool() {
  auto pool = std::make_unique<vl::RandomPool>();
  uint8_t seed[vl::RandomPool::kSeedSize];
  if (!vl::osRandomBytes(seed, sizeof seed)) return nullptr;
  pool->addBytes(std::span<const uint8_t>(seed, sizeof seed), true);
  vl::secureWipe(seed, sizeof seed);
  return pool;
}

}  // namespace vltool
