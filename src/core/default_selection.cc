#include "core/default_selection.h"

#include <vector>

#include "platform/folders.h"
#include "platform/known_folders.h"

namespace vl {

bool writeDefaultFolderSelection(const std::string& path) {
  std::vector<std::string> folders;
  for (KnownFolder folder : {KnownFolder::kMusic, KnownFolder::kPictures, KnownFolder::kDocuments,
                             KnownFolder::kDesktop}) {
    std::optional<std::string> found = knownFolderPath(folder);
    if (found && isFolder(*found)) folders.push_back(*found);
  }
  return writeFolderSelection(folders, path);
}

}  // namespace vl
