// StreamLog: the server log, one line per event with the UTC time in front,
// written whole to a stream (stderr) so that lines of several connection
// threads never interleave.
#pragma once

#include <cstdio>
#include <mutex>
#include <string_view>

#include "server/protocol/server_context.h"

namespace vl {

class StreamLog final : public ServerLog {
 public:
  explicit StreamLog(std::FILE* stream) : stream_(stream) {}
  void write(std::string_view line) override;

 private:
  std::mutex mutex_;
  std::FILE* stream_;  // guarded by mutex_
};

}  // namespace vl
