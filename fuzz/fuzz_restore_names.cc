// restoreRelativePath on arbitrary UTF-16 names: a name it accepts must be a
// relative path of plain components, none of them empty, "." or "..".
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/restore_writer_paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string name;
  for (size_t i = 0; i + 1 < size; i += 2) {
    name.push_back(static_cast<char16_t>(data[i] << 8 | data[i + 1]));
  }
  std::optional<std::string> path = vl::restoreRelativePath(name);
  if (!path) return 0;
  if (path->find('\0') != std::string::npos) std::abort();
  size_t start = 0;
  while (true) {
    size_t slash = path->find('/', start);
    std::string component = path->substr(start, slash == std::string::npos ? slash : slash - start);
    if (component.empty() || component == "." || component == "..") std::abort();
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return 0;
}
