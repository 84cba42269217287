// Running a piece of a test as an ordinary user.
//
// Tests that need a folder the scan cannot open make it with chmod 000, but
// root reads such folders anyway. When the test runs as root, the piece runs
// in a forked child that has given up root for the "nobody" user, and hands
// back a text that the parent checks. The folders it touches must be open to
// that user (see openToEveryone).
#pragma once

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace vl::test {

constexpr uid_t kNobody = 65534;

// Lets every user into `path` and everything below it, and gives it to the
// user the unprivileged piece runs as.
inline void openToEveryone(const std::string& path) {
  std::error_code ignored;
  std::filesystem::permissions(path, std::filesystem::perms::all,
                               std::filesystem::perm_options::add, ignored);
  if (::geteuid() == 0 && ::chown(path.c_str(), kNobody, kNobody) != 0) return;
  for (auto& entry : std::filesystem::recursive_directory_iterator(path, ignored)) {
    std::filesystem::permissions(entry.path(), std::filesystem::perms::all,
                                 std::filesystem::perm_options::add, ignored);
    if (::geteuid() == 0) ::lchown(entry.path().c_str(), kNobody, kNobody);
  }
}

// The text `piece` returns when run in a forked child after `prepare` (run
// there first) succeeded; nothing when the child could not be made or failed.
inline std::optional<std::string> runInChild(const std::function<bool()>& prepare,
                                             const std::function<std::string()>& piece) {
  int channel[2];
  if (::pipe(channel) != 0) return std::nullopt;
  const pid_t child = ::fork();
  if (child < 0) return std::nullopt;
  if (child == 0) {
    ::close(channel[0]);
    if (!prepare()) ::_exit(2);
    const std::string text = piece();
    size_t sent = 0;
    while (sent < text.size()) {
      ssize_t n = ::write(channel[1], text.data() + sent, text.size() - sent);
      if (n <= 0) ::_exit(3);
      sent += static_cast<size_t>(n);
    }
    ::_exit(0);
  }
  ::close(channel[1]);
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(channel[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  ::close(channel[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return text;
}

// The text `piece` returns, computed without root's rights; nothing when no
// unprivileged process could be made.
inline std::optional<std::string> runUnprivileged(const std::function<std::string()>& piece) {
  if (::geteuid() != 0) return piece();
  return runInChild(
      [] { return ::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0; },
      piece);
}

}  // namespace vl::test
