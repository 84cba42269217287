// Running a piece of a test as an ordinary user.
//
// Tests that need a folder the scan cannot open make it with chmod 000, but
// root reads such folders anyway. When the test runs as root, the piece runs
// in a forked child that has given up root for the "nobody" user, and hands
// back a text that the parent checks, and the checks that failed inside it.
// The folders it touches must be open to that user (see openToEveryone).
#pragma once

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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
// there first) succeeded; nothing when the child could not be made or
// `prepare` failed. Checks that fail inside the piece, on any of its
// threads, fail the calling test: the child catches them and hands their
// messages back after the text, and its exit code tells that it did, so they
// are never lost with the child. A child that dies by a signal or exits
// otherwise than here fails the calling test as well.
inline std::optional<std::string> runInChild(const std::function<bool()>& prepare,
                                             const std::function<std::string()>& piece) {
  constexpr int kPrepareFailed = 2;
  constexpr int kChecksFailed = 4;
  int channel[2];
  if (::pipe(channel) != 0) return std::nullopt;
  std::fflush(nullptr);  // nothing buffered is printed twice
  const pid_t child = ::fork();
  if (child < 0) return std::nullopt;
  if (child == 0) {
    ::close(channel[0]);
    if (!prepare()) ::_exit(kPrepareFailed);
    // Checks on this thread go to the first list; checks on threads that
    // the piece starts go through the process-wide reporter to the second.
    ::testing::TestPartResultArray failures[2];
    std::string text;
    {
      ::testing::ScopedFakeTestPartResultReporter otherThreads(
          ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &failures[1]);
      ::testing::ScopedFakeTestPartResultReporter thisThread(
          ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD,
          &failures[0]);
      text = piece();
    }
    // The text, its length first, then what failed.
    std::string message = std::to_string(text.size()) + "\n" + text;
    int failed = 0;
    for (const ::testing::TestPartResultArray& list : failures) {
      for (int i = 0; i < list.size(); ++i, ++failed) {
        const ::testing::TestPartResult& failure = list.GetTestPartResult(i);
        message += std::string(failure.file_name() ? failure.file_name() : "?") + ":" +
                   std::to_string(failure.line_number()) + ": " + failure.message() + "\n";
      }
    }
    size_t sent = 0;
    while (sent < message.size()) {
      ssize_t n = ::write(channel[1], message.data() + sent, message.size() - sent);
      if (n <= 0) ::_exit(3);
      sent += static_cast<size_t>(n);
    }
    ::_exit(failed > 0 ? kChecksFailed : 0);
  }
  ::close(channel[1]);
  std::string message;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(channel[0], buffer, sizeof buffer)) > 0) {
    message.append(buffer, static_cast<size_t>(n));
  }
  ::close(channel[0]);
  int status = 0;
  pid_t waited;
  while ((waited = ::waitpid(child, &status, 0)) < 0 && errno == EINTR) {
  }
  if (waited != child) {
    ADD_FAILURE() << "the child process that ran part of the test was lost";
    return std::nullopt;
  }
  if (!WIFEXITED(status)) {
    ADD_FAILURE() << "the part run in a child process was ended by signal "
                  << (WIFSIGNALED(status) ? WTERMSIG(status) : -1);
    return std::nullopt;
  }
  const int code = WEXITSTATUS(status);
  if (code == kPrepareFailed) return std::nullopt;
  if (code != 0 && code != kChecksFailed) {
    ADD_FAILURE() << "the part run in a child process exited with code " << code;
    return std::nullopt;
  }
  const size_t lineEnd = message.find('\n');
  const size_t length = lineEnd == std::string::npos ? 0 : std::stoul(message.substr(0, lineEnd));
  if (lineEnd == std::string::npos || message.size() - lineEnd - 1 < length) {
    ADD_FAILURE() << "the part run in a child process sent back a broken answer";
    return std::nullopt;
  }
  std::string text = message.substr(lineEnd + 1, length);
  if (code == kChecksFailed) {
    ADD_FAILURE() << "checks failed in the part run in a child process:\n"
                  << message.substr(lineEnd + 1 + length);
  }
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
