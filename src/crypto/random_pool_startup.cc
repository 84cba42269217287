#include "crypto/random_pool_startup.h"

#include "core/secure_wipe.h"
#include "platform/c_rand.h"
#include "platform/clock.h"
#include "platform/os_random.h"

namespace vl {

std::unique_ptr<RandomPool> startRandomPool(const std::string& seedPath, uint32_t& failureCode) {
  auto pool = std::make_unique<RandomPool>();
  pool->setMouseCollection(true);
  pool->loadSeed(seedPath);
  uint8_t system_bytes[32];
  if (!osRandomBytes(system_bytes, sizeof system_bytes)) {
    secureWipe(system_bytes, sizeof system_bytes);
    failureCode = kRandomSourceFailureCode;
    return nullptr;
  }
  pool->addBytes(std::span<const uint8_t>(system_bytes, sizeof system_bytes), false);
  secureWipe(system_bytes, sizeof system_bytes);
  const uint32_t seconds = secondsSince1970();
  pool->addEvent(static_cast<uint16_t>(seconds), static_cast<uint16_t>(seconds >> 16), 0);
  const uint32_t milliseconds = millisecondClock();
  pool->addEvent(static_cast<uint16_t>(milliseconds), static_cast<uint16_t>(milliseconds >> 16), 0);
  cSrand(secondsSince1970());
  return pool;
}

bool finishRandomPool(RandomPool& pool, const std::string& seedPath) {
  const bool saved = pool.saveSeed(seedPath);
  pool.wipe();
  return saved;
}

}  // namespace vl
