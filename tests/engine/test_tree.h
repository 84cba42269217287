// makeTree: lays out folders and files under a test folder from a short
// description: a name ending in '/' is a folder, anything else a file with
// the given contents.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <initializer_list>
#include <string>
#include <utility>

#include "support/temp_dir.h"

namespace vl::test {

inline void makeTree(const TempDir& dir,
                     std::initializer_list<std::pair<std::string, std::string>> entries) {
  for (const auto& [name, contents] : entries) {
    if (name.ends_with('/')) {
      if (::mkdir(dir.file(name).c_str(), 0755) != 0) std::abort();
    } else {
      writeFile(dir.file(name), contents);
    }
  }
}

}  // namespace vl::test
