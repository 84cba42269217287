#include "engine/root_names.h"

#include <algorithm>
#include <string_view>

namespace vl {
namespace {

std::string baseName(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const size_t slash = path.rfind('/');
  std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (last.empty()) return "\\filesystem_root";
  std::string name = "\\";
  name += last;
  std::replace(name.begin() + 1, name.end(), '\\', '_');
  return name;
}

}  // namespace

std::vector<std::string> rootNames(const std::vector<std::string>& paths) {
  std::vector<std::string> names;
  names.reserve(paths.size());
  for (const std::string& path : paths) {
    const std::string base = baseName(path);
    std::string name = base;
    // Checked against every earlier name again after each change, so that a
    // suffixed name cannot land on one that an earlier folder already got.
    for (unsigned n = 2; std::find(names.begin(), names.end(), name) != names.end(); ++n) {
      name = base + "_(" + std::to_string(n) + ")";
    }
    names.push_back(std::move(name));
  }
  return names;
}

}  // namespace vl
