// lockHeldElsewhere: tells a busy lock from a lock file that cannot be used.
//
// FileLock::acquire with Wait::kNo fails alike when someone else holds the
// lock and when the lock file cannot be opened; a program refusing to start
// says which, so that "in use" is reported only when it is true.
#pragma once

#include <string>

namespace vl {

// True when the lock file at `path` exists, opens, and its lock is held
// through another handle (another process, or another holder in this one).
bool lockHeldElsewhere(const std::string& path);

}  // namespace vl
