#include "core/working_directory.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/known_folders.h"

namespace vl {
namespace {

// mkdir -p with private permissions; an existing folder is fine.
bool makeFolders(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
  auto slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !makeFolders(path.substr(0, slash))) {
    return false;
  }
  return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

}  // namespace

std::optional<std::string> workingDirectoryPath() {
  auto data = knownFolderPath(KnownFolder::kLocalAppData);
  if (!data) return std::nullopt;
  return *data + "/" + kWorkingDirectoryName;
}

std::optional<std::string> enterWorkingDirectory() {
  auto path = workingDirectoryPath();
  if (!path || !makeFolders(*path) || ::chdir(path->c_str()) != 0) return std::nullopt;
  return path;
}

}  // namespace vl
