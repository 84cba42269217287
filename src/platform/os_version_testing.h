// Lets tests pretend to run on another operating-system version, so that the
// refusals of old systems can be exercised. Only tests include this header.
#pragma once

#include <optional>

#include "platform/os_version.h"

namespace vl {

// From now on operatingSystemVersion() reports `version`; nullopt goes back
// to the real answer.
void overrideOsVersionForTesting(std::optional<OsVersion> version);

}  // namespace vl
