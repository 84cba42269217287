// The per-user folders the client needs to find: where it keeps its state
// and the four folders it backs up until the user chooses others.
//
// POSIX: local application data is $XDG_DATA_HOME or ~/.local/share. Music,
// Pictures, Documents and Desktop come from the XDG user directories
// ($XDG_CONFIG_HOME or ~/.config, file "user-dirs.dirs"); a folder the file
// does not name falls back to its usual name below the home folder, and a
// folder the file sets to the home folder itself (the way the user turns it
// off) is not found. Paths are returned without a trailing slash; whether the
// folder exists is not checked.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vl {

enum class KnownFolder { kLocalAppData, kMusic, kPictures, kDocuments, kDesktop };

// The folder's full path; nothing when the lookup fails (no home folder, or
// the folder is turned off).
std::optional<std::string> knownFolderPath(KnownFolder folder);

// The value of one XDG_<name>_DIR line of a "user-dirs.dirs" text, resolved
// against `home`; nothing when the text does not set it or sets it to a
// value that is neither "$HOME/..." nor an absolute path. Exposed for tests.
std::optional<std::string> userDirFromText(std::string_view text, std::string_view name,
                                           std::string_view home);

}  // namespace vl
