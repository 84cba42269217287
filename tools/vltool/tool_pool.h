// The random pool of vltool's commands.
#pragma once

#include <memory>

#include "crypto/random_pool.h"

namespace vltool {

// A developer's pool, credited from the operating system's generator so that
// sealing works at once; nothing when the generator fails. The client never
// credits its pool this way.
std::unique_ptr<vl::RandomPool> osCreditedPool();

}  // namespace vltool
