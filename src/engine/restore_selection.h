// The part of a copy's list that restores only some of its entries.
//
// A user names files and folders of a copy; the restore gets each named
// file, each named folder with everything below it, and the start and end
// entries of the folders that hold them, so that what is restored is still
// a well-formed list (every folder opened before its content and closed
// after it) and lands at the same relative place as in a whole restore.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "model/file_list.h"

namespace vl {

// The entries of `list` that restore `names`, in list order, with the
// list's nextSectionNumber and version. Names are compared as listed, except
// that '/' counts as '\' and leading and trailing separators are ignored, so
// "Docs/a.txt" names "\Docs\a.txt". Nothing when a name matches no entry;
// `unmatched` (when given) then receives each such name.
std::optional<FileList> selectEntries(const FileList& list, std::span<const std::u16string> names,
                                      std::vector<std::u16string>* unmatched = nullptr);

}  // namespace vl
