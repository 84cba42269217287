// Whether this machine has an account: its local key file can be read.
#pragma once

#include <string>

#include "crypto/key_files.h"

namespace vl {

// True when "local_key.bin" (or `path`) can be opened and read as a buffer
// file; what it holds is checked only when the keys are used.
bool accountExists(const std::string& path = kLocalKeyFile);

}  // namespace vl
