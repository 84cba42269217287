#include "engine/restore_selection.h"

#include <algorithm>

namespace vl {
namespace {

// The form names are compared in: '\' between components, no separator at
// either end.
std::u16string comparable(std::u16string_view name) {
  std::u16string out(name);
  std::replace(out.begin(), out.end(), u'/', u'\\');
  size_t first = out.find_first_not_of(u'\\');
  if (first == std::u16string::npos) return std::u16string();
  size_t last = out.find_last_not_of(u'\\');
  return out.substr(first, last - first + 1);
}

struct OpenFolder {
  uint32_t start;   // index of its start entry
  bool everything;  // named, or inside a named folder: all of it is restored
  bool emitted;     // its start entry is in the selection
};

}  // namespace

std::optional<FileList> selectEntries(const FileList& list, std::span<const std::u16string> names,
                                      std::vector<std::u16string>* unmatched) {
  std::vector<std::u16string> wanted;
  for (const std::u16string& name : names) wanted.push_back(comparable(name));
  std::vector<bool> matched(wanted.size(), false);
  auto isNamed = [&](std::u16string_view name) {
    bool any = false;
    std::u16string key = comparable(name);
    for (size_t i = 0; i < wanted.size(); ++i) {
      if (wanted[i] == key) matched[i] = any = true;
    }
    return any;
  };

  FileList selected;
  selected.nextSectionNumber = list.nextSectionNumber;
  selected.version = list.version;
  std::vector<OpenFolder> folders;
  // Adds the start entries of the folders around the next selected entry
  // that are not in the selection yet.
  auto openAncestors = [&] {
    for (OpenFolder& folder : folders) {
      if (folder.emitted) continue;
      selected.addEntry(list.entry(folder.start));
      folder.emitted = true;
    }
  };

  for (uint32_t i = 0; i < list.entryCount(); ++i) {
    const FileListEntry& entry = list.entry(i);
    const bool inside = !folders.empty() && folders.back().everything;
    if (entry.isFolderStart()) {
      // Every name is checked, so that a folder named twice counts as found.
      const bool named = isNamed(entry.name);
      folders.push_back(OpenFolder{i, inside || named, false});
      if (folders.back().everything) openAncestors();
    } else if (entry.isFolder) {
      if (!folders.empty()) {
        if (folders.back().emitted) selected.addEntry(entry);
        folders.pop_back();
      }
    } else if (isNamed(entry.name) || inside) {
      openAncestors();
      selected.addEntry(entry);
    }
  }

  bool all = true;
  for (size_t i = 0; i < wanted.size(); ++i) {
    if (matched[i]) continue;
    all = false;
    if (unmatched != nullptr) unmatched->push_back(names[i]);
  }
  if (!all) return std::nullopt;
  return selected;
}

}  // namespace vl
