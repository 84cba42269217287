// The folders backed up until the user chooses others: Music, Pictures,
// Documents and the Desktop, in that order, as far as they exist.
#pragma once

#include <string>

#include "core/folders_file.h"

namespace vl {

// Writes "folders.bin" (or `path`) with those of the four folders that exist
// on this system. A folder that is missing or turned off is left out: a
// selected folder that cannot be read would stop every unattended backup.
// False when a path cannot be stored (nothing is written then) or the write
// fails.
bool writeDefaultFolderSelection(const std::string& path = kFoldersFile);

}  // namespace vl
