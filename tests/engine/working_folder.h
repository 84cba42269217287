// WorkingFolder: a fresh temporary folder made the current directory for as
// long as the object lives, as the working directory is for the program, so
// that state files opened by bare name land in it.
#pragma once

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "support/temp_dir.h"

namespace vl::test {

class WorkingFolder {
 public:
  WorkingFolder() {
    char previous[PATH_MAX];
    if (::getcwd(previous, sizeof previous) == nullptr || ::chdir(dir_.path().c_str()) != 0) {
      std::abort();
    }
    previous_ = previous;
  }
  ~WorkingFolder() {
    if (::chdir(previous_.c_str()) != 0) std::abort();
  }
  WorkingFolder(const WorkingFolder&) = delete;
  WorkingFolder& operator=(const WorkingFolder&) = delete;

  const std::string& path() const { return dir_.path(); }
  std::string file(const std::string& name) const { return dir_.file(name); }

 private:
  TempDir dir_;
  std::string previous_;
};

}  // namespace vl::test
