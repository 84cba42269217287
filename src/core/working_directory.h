// The working directory: where the client keeps all its state files.
//
// It is the per-user local application data folder plus "VL_wd"; the system
// object makes it the current directory, after which every state file is
// opened by its bare name.
#pragma once

#include <optional>
#include <string>

namespace vl {

inline constexpr char kWorkingDirectoryName[] = "VL_wd";

// The working directory's full path; nothing when the local application
// data folder cannot be found.
std::optional<std::string> workingDirectoryPath();

// Creates the working directory (and any missing parent) unless it exists
// and makes it the current directory. Returns its path, or nothing when it
// cannot be made or entered.
//
// The directory holds key material, so it is made owner-only at every
// start, also when an older version (or the user) left it open to others;
// a directory we may not change is still used, since its key files are
// owner-only themselves. Temporaries that a crash left in the middle of a
// save are removed.
std::optional<std::string> enterWorkingDirectory();

}  // namespace vl
