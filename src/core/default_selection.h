// The folders backed up until the user chooses others: Music, Pictures,
// Documents and the Desktop, in that order.
#pragma once

#include <string>

#include "core/folders_file.h"

namespace vl {

// Writes "folders.bin" (or `path`) with the four folders. When any of them
// cannot be found (or stored), nothing is written and the result is false.
bool writeDefaultFolderSelection(const std::string& path = kFoldersFile);

}  // namespace vl
