// Reading what a child process writes to a pipe, for tests that run our
// programs (vl_server, vardlok) as processes of their own.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace vl::test {

// What arrives on `fd` until `stop` has been seen (any text when `stop` is
// empty: then until the writer closes), the writer closes, or `seconds` pass.
inline std::string readChildOutput(int fd, double seconds, const std::string& stop = "") {
  using Clock = std::chrono::steady_clock;
  std::string text;
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < deadline && (stop.empty() || text.find(stop) == std::string::npos)) {
    pollfd wait{fd, POLLIN, 0};
    if (::poll(&wait, 1, 100) <= 0) continue;
    char piece[256];
    const ssize_t n = ::read(fd, piece, sizeof piece);
    if (n <= 0) break;
    text.append(piece, static_cast<size_t>(n));
  }
  return text;
}

}  // namespace vl::test
