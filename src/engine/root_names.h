// Root names: the name under which each selected folder's content is kept
// in a copy's file list.
//
// A folder's root name is its last path component with a backslash in
// front ("/home/anna/Documents" gives "\Documents"). When an earlier folder
// of the selection already has that name, "_(2)", "_(3)", ... is added until
// the name is unique, so that two folders never share a name in the copy.
// A backslash inside the component (a legal character in names here) would
// read as a folder boundary in the list and becomes '_'; the file-system
// root itself is named "\filesystem_root".
#pragma once

#include <string>
#include <vector>

namespace vl {

// The root names of `paths`, in the same order.
std::vector<std::string> rootNames(const std::vector<std::string>& paths);

}  // namespace vl
