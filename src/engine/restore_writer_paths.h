// Where a list entry lands below the restore folder.
//
// Lists name every folder and file by its path relative to the copy's roots,
// with '\' between components and usually a leading '\' that joins it to the
// restore folder. A list comes from storage and may be damaged or hostile,
// so before anything is created every name is checked: it must stay inside
// the restore folder and it must be expressible as a name on this system.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vl {

// The name as a relative path of this system ("A/b/c.txt", UTF-8, '/'
// between components, no leading separator). Nothing when the name would
// leave the restore folder or cannot be written here: an empty name, an
// absolute one (a leading '/' or a drive letter, "C:..."), an empty, "." or
// ".." component (so also a doubled separator or a UNC-style "\\server"
// start), a NUL character, or UTF-16 that has no UTF-8 form. One leading '\'
// is the joint to the restore folder; '/' inside a name is a separator.
std::optional<std::string> restoreRelativePath(std::u16string_view name);

}  // namespace vl
