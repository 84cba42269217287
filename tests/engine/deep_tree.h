// Trees far deeper than the longest path the system opens, and a child
// process with few file descriptors to walk them in.
//
// A tree of kDeepTreeLevels levels has full paths of several thousand
// bytes, so it is made and removed through handles, one level at a time,
// never by full path.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <string>

#include "engine/unprivileged.h"

namespace vl::test {

constexpr int kDeepTreeLevels = 3000;

// Makes `root` and below it the folders d/d/.../d, kDeepTreeLevels deep;
// each of them holds a file "f" whose content is its level (1 to
// kDeepTreeLevels) in decimal.
inline bool makeDeepTree(const std::string& root) {
  if (::mkdir(root.c_str(), 0755) != 0) return false;
  int at = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int level = 1; level <= kDeepTreeLevels && at >= 0; ++level) {
    int next = ::mkdirat(at, "d", 0755) == 0 ? ::openat(at, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                                             : -1;
    ::close(at);
    at = next;
    if (at < 0) return false;
    const std::string text = std::to_string(level);
    const int file = ::openat(at, "f", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    const bool written =
        file >= 0 && ::write(file, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (file >= 0) ::close(file);
    if (!written) {
      ::close(at);
      return false;
    }
  }
  if (at < 0) return false;
  ::close(at);
  return true;
}

// Removes what makeDeepTree made below `root` (not `root` itself). It
// climbs down and back up by the current directory, one level at a time, so
// that no path it uses is long; the current directory is put back after.
inline void removeDeepTree(const std::string& root) {
  const int previous = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (previous < 0 || ::chdir(root.c_str()) != 0) {
    if (previous >= 0) ::close(previous);
    return;
  }
  int depth = 0;
  while (::chdir("d") == 0) ++depth;
  for (; depth > 0; --depth) {
    ::unlink("f");
    if (::chdir("..") != 0) break;
    ::rmdir("d");
  }
  [[maybe_unused]] const int back = ::fchdir(previous);
  ::close(previous);
}

// The number of file descriptors this process has open.
inline int openDescriptors() {
  DIR* listing = ::opendir("/proc/self/fd");
  if (listing == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(listing)) count += entry->d_name[0] != '.' ? 1 : 0;
  ::closedir(listing);
  return count - 1;  // the listing's own
}

// The text `piece` returns when run in a child process that may hold at
// most `limit` file descriptors; nothing when the child failed.
inline std::optional<std::string> runWithDescriptorLimit(rlim_t limit,
                                                         const std::function<std::string()>& piece) {
  return runInChild(
      [limit] {
        const rlimit few{limit, limit};
        return ::setrlimit(RLIMIT_NOFILE, &few) == 0;
      },
      piece);
}

}  // namespace vl::test
