#include "server/program/server_log.h"

#include <ctime>
#include <string>

namespace vl {

void StreamLog::write(std::string_view line) {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%SZ ", &parts);
  std::string text(stamp);
  // A peer chooses some of what is logged (its setup details); control
  // characters would let it forge lines.
  for (char c : line) text += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
  text += '\n';
  std::lock_guard lock(mutex_);
  std::fwrite(text.data(), 1, text.size(), stream_);
  std::fflush(stream_);
}

}  // namespace vl
