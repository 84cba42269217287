#include "core/working_directory.h"

#include "platform/atomic_file.h"
#include "platform/folders.h"
#include "platform/known_folders.h"

namespace vl {
namespace {

// mkdir -p with private permissions; an existing folder is fine.
bool makeFolders(const std::string& path) {
  if (isFolder(path)) return true;
  auto slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !makeFolders(path.substr(0, slash))) {
    return false;
  }
  return createFolder(path, FolderAccess::kOwnerOnly);
}

}  // namespace

std::optional<std::string> workingDirectoryPath() {
  auto data = knownFolderPath(KnownFolder::kLocalAppData);
  if (!data) return std::nullopt;
  return *data + "/" + kWorkingDirectoryName;
}

std::optional<std::string> enterWorkingDirectory() {
  auto path = workingDirectoryPath();
  if (!path || !makeFolders(*path)) return std::nullopt;
  makeFolderOwnerOnly(*path);
  if (!enterFolder(*path)) return std::nullopt;
  removeStaleTemporaries(*path);
  return path;
}

}  // namespace vl
