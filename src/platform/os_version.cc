#include "platform/os_version.h"

#include <atomic>
#include <optional>

#include "platform/os_version_testing.h"

namespace vl {
namespace {

constexpr OsVersion kPosixVersion{10, 0};

// Set by a test before start-up runs; read once by the start-up check.
std::atomic<bool> g_overridden{false};
std::atomic<uint32_t> g_major{0};
std::atomic<uint32_t> g_minor{0};

}  // namespace

OsVersion operatingSystemVersion() {
  if (g_overridden.load()) return OsVersion{g_major.load(), g_minor.load()};
  return kPosixVersion;
}

void overrideOsVersionForTesting(std::optional<OsVersion> version) {
  if (version) {
    g_major.store(version->major);
    g_minor.store(version->minor);
  }
  g_overridden.store(version.has_value());
}

}  // namespace vl
