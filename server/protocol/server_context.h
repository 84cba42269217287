// What every connection of a running server shares: the server's key, the
// account store, the backup store, the random pool, the setup limiter, the log and the
// settings. All of it outlives the connections and may be used from several
// connection threads at once.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace vl {

class AccountStore;
class BackupStore;
class RandomPool;
class RsaKey;
class SetupLimiter;

// One line per event, readable by a person; implementations add the time
// and serialise concurrent writers.
class ServerLog {
 public:
  virtual ~ServerLog() = default;
  virtual void write(std::string_view line) = 0;
};

struct ServerSettings {
  // Space reserved for each new account, in units of 2^30 bytes.
  uint32_t reservedGib = 50;
  // 0: no limit.
  uint32_t maxAccounts = 0;
  // After each new copy, delete the archived copies past their retention.
  bool expire = false;
  // Every copy is kept at least this many days of the server's clock from
  // when it was received (0: none); an account may ask for more.
  uint32_t protectDays = 0;
};

struct ServerContext {
  const RsaKey* serverKey = nullptr;  // private encryption key, loaded
  uint32_t keyNumber = 0;
  AccountStore* accounts = nullptr;
  // The accounts' copies and section records; without it the backup,
  // restore and list requests are not served.
  BackupStore* backups = nullptr;
  RandomPool* pool = nullptr;  // credited; gives DH exponents and IVs
  SetupLimiter* limiter = nullptr;
  ServerLog* log = nullptr;
  ServerSettings settings;
  // Seconds since 1970; tests pass their own clock.
  std::function<uint32_t()> now;
};

}  // namespace vl
