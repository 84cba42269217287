#include "platform/known_folders.h"

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <vector>

namespace vl {
namespace {

std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// An environment variable that names an absolute path; the XDG rules say a
// relative value is to be ignored.
std::optional<std::string> absoluteFromEnvironment(const char* name) {
  const char* value = ::getenv(name);
  if (value == nullptr || value[0] != '/') return std::nullopt;
  return withoutTrailingSlashes(value);
}

std::optional<std::string> homeFolder() {
  if (auto home = absoluteFromEnvironment("HOME")) return home;
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> scratch(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, scratch.data(), scratch.size(), &found) != 0 ||
      found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/') {
    return std::nullopt;
  }
  return withoutTrailingSlashes(found->pw_dir);
}

// The shell-quoted value of a line, without its quotes and escapes.
std::optional<std::string> unquote(std::string_view value) {
  if (value.size() < 2 || value.front() != '"') return std::nullopt;
  std::string out;
  for (size_t i = 1; i < value.size(); ++i) {
    char c = value[i];
    if (c == '"') return out;
    if (c == '\\' && i + 1 < value.size()) c = value[++i];
    out.push_back(c);
  }
  return std::nullopt;  // no closing quote
}

struct UserFolder {
  const char* xdg_name;
  const char* usual_name;
};

UserFolder userFolderFor(KnownFolder folder) {
  switch (folder) {
    case KnownFolder::kMusic: return {"MUSIC", "Music"};
    case KnownFolder::kPictures: return {"PICTURES", "Pictures"};
    case KnownFolder::kDocuments: return {"DOCUMENTS", "Documents"};
    default: return {"DESKTOP", "Desktop"};
  }
}

}  // namespace

std::optional<std::string> userDirFromText(std::string_view text, std::string_view name,
                                           std::string_view home) {
  std::string key = "XDG_" + std::string(name) + "_DIR=";
  std::optional<std::string> result;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    if (line.substr(0, key.size()) != key) continue;
    auto value = unquote(line.substr(key.size()));
    if (!value) continue;
    // The last line that sets the name wins, as when the shell sources it.
    if (value->rfind("$HOME", 0) == 0 && (value->size() == 5 || (*value)[5] == '/')) {
      result = withoutTrailingSlashes(std::string(home) + value->substr(5));
    } else if (!value->empty() && value->front() == '/') {
      result = withoutTrailingSlashes(*value);
    } else {
      result.reset();
    }
  }
  return result;
}

std::optional<std::string> knownFolderPath(KnownFolder folder) {
  if (folder == KnownFolder::kLocalAppData) {
    if (auto data = absoluteFromEnvironment("XDG_DATA_HOME")) return data;
  }
  auto home = homeFolder();
  if (!home) return std::nullopt;
  if (folder == KnownFolder::kLocalAppData) return *home + "/.local/share";

  UserFolder names = userFolderFor(folder);
  std::string config = absoluteFromEnvironment("XDG_CONFIG_HOME").value_or(*home + "/.config");
  std::ifstream in(config + "/user-dirs.dirs", std::ios::binary);
  std::optional<std::string> path;
  if (in) {
    std::ostringstream text;
    text << in.rdbuf();
    path = userDirFromText(text.str(), names.xdg_name, *home);
  }
  if (!path) return *home + "/" + names.usual_name;
  if (*path == *home) return std::nullopt;  // turned off by the user
  return path;
}

}  // namespace vl
