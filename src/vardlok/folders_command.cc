// vardlok folders add|remove|list: the selection of folders to back up
// ("folders.bin"). Paths are stored absolute, as the user's folders are
// wherever vardlok was started from.
#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "core/folders_file.h"
#include "vardlok/command_registry.h"
#include "vardlok/terminal.h"

namespace vardlok {
namespace {

constexpr uint32_t kLanguage = 0;  // no system object: the default setting

// `path` absolute and without a trailing separator or "." and ".." parts.
std::string folderPath(const std::string& path) {
  std::string normal = std::filesystem::path(absolutePath(path)).lexically_normal().string();
  while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
  return normal;
}

std::vector<std::string> pathsOf(const Args& args) {
  std::vector<std::string> paths;
  for (const std::string& arg : args) paths.push_back(folderPath(arg));
  return paths;
}

bool isFolder(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_directory(path, error);
}

bool save(const std::vector<std::string>& selection) {
  size_t refused = 0;
  if (vl::writeFolderSelection(selection, vl::kFoldersFile, &refused)) return true;
  if (refused < selection.size() && !vl::canStoreFolderPath(selection[refused])) {
    say(kLanguage, "Fel: Mappens namn kan inte sparas: " + selection[refused],
        "Error: The folder's name cannot be stored: " + selection[refused]);
  } else {
    say(kLanguage, "Fel: Kunde inte spara valet av mappar.",
        "Error: Could not store the folder selection.");
  }
  return false;
}

int add(const std::vector<std::string>& paths, std::vector<std::string> selection) {
  for (const std::string& path : paths) {
    if (!isFolder(path)) {
      say(kLanguage, "Fel: Mappen finns inte: " + path, "Error: The folder does not exist: " + path);
      return kFailed;
    }
    if (std::find(selection.begin(), selection.end(), path) == selection.end()) {
      selection.push_back(path);
    }
  }
  return save(selection) ? kSucceeded : kFailed;
}

int remove(const std::vector<std::string>& paths, std::vector<std::string> selection) {
  for (const std::string& path : paths) {
    const auto found = std::find(selection.begin(), selection.end(), path);
    if (found == selection.end()) {
      say(kLanguage, "Fel: Mappen är inte vald: " + path, "Error: The folder is not selected: " + path);
      return kFailed;
    }
    selection.erase(found);
  }
  return save(selection) ? kSucceeded : kFailed;
}

int runFolders(const Args& args) {
  if (args.empty()) return usageError("folders");
  const std::string& verb = args[0];
  const bool list = verb == "list" && args.size() == 1;
  if (!list && !((verb == "add" || verb == "remove") && args.size() >= 2)) {
    return usageError("folders");
  }
  // Made absolute against where the user is, before the working directory is entered.
  const std::vector<std::string> paths = pathsOf(Args(args.begin() + 1, args.end()));
  if (!enterWorkingFolder(kLanguage)) return kFailed;
  std::vector<std::string> selection =
      vl::readFolderSelection().value_or(std::vector<std::string>{});
  if (list) {
    for (const std::string& path : selection) std::printf("%s\n", path.c_str());
    return kSucceeded;
  }
  return verb == "add" ? add(paths, std::move(selection)) : remove(paths, std::move(selection));
}

}  // namespace

VARDLOK_COMMAND("folders",
                "vardlok folders add FOLDER... | remove FOLDER... | list\n"
                "    change or show the folders that backups copy\n",
                runFolders);

}  // namespace vardlok
