// The operating system's version, for the start-up check that refuses
// systems too old to run the client.
//
// Versions are on the scale of the Windows NT family (5.0 = 2000, 5.1 = XP,
// 6.1 = 7, 10.0 = 10), which is what the check compares against. Every POSIX
// system this backend builds on provides everything the client needs, so it
// reports 10.0.
#pragma once

#include <cstdint>

namespace vl {

struct OsVersion {
  uint32_t major = 0;
  uint32_t minor = 0;
};

// The running system's version (or the override of os_version_testing.h).
OsVersion operatingSystemVersion();

}  // namespace vl
