// Appending to the copy log ("logg.bin") as a walk that excludes many files
// does, beside writing the same bytes with one plain write and fsync.
//
//   bench_copy_log [benchmark flags]
//
// BM_CopyLogExclusions/N: N exclusion records of 200 bytes each into a new
// log, then the flush that ends a run. BM_CopyLogMessages/H: 100 message
// records, each written before its append returns, into a log that already
// holds H exclusions: the cost of an append must not grow with the history.
// BM_OneWriteAndSync/N: the reference, a file of the size of the log with N
// records written with one write and one fsync. Folders are made under the
// system's temporary folder (TMPDIR), which should be on the disk measured.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "engine/copy_log.h"

namespace {

constexpr uint32_t kRecordBytes = 200;
constexpr uint32_t kRecordHeadBytes = 22;
const vl::LogContext kEnglish{1};

// A path that makes an exclusion record of kRecordBytes.
std::string pathFor(int64_t i) {
  const std::string prefix = "File excluded from copy: ";
  std::string path = "/home/user/Music/" + std::to_string(i) + "/";
  path.resize(kRecordBytes - kRecordHeadBytes - prefix.size(), 'n');
  return path;
}

// A fresh folder made the current directory while it lives.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/vllog.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(path_);
  }
  ~ScratchFolder() {
    std::filesystem::current_path(previous_);
    std::filesystem::remove_all(path_);
  }

 private:
  std::string path_;
  std::filesystem::path previous_;
};

void BM_CopyLogExclusions(benchmark::State& state) {
  const int64_t count = state.range(0);
  for (auto _ : state) {
    state.PauseTiming();
    {
      ScratchFolder folder;
      state.ResumeTiming();
      for (int64_t i = 0; i < count; ++i) {
        vl::logExclusion(kEnglish, pathFor(i), vl::kExcludedUnreadableFile);
      }
      if (!vl::flushCopyLog()) state.SkipWithError("the log was not written");
      state.PauseTiming();
    }
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_CopyLogExclusions)
    ->Arg(1000)
    ->Arg(3000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_CopyLogMessages(benchmark::State& state) {
  const int64_t history = state.range(0);
  constexpr int kMessages = 100;
  for (auto _ : state) {
    state.PauseTiming();
    {
      ScratchFolder folder;
      for (int64_t i = 0; i < history; ++i) {
        vl::logExclusion(kEnglish, pathFor(i), vl::kExcludedUnreadableFile);
      }
      vl::flushCopyLog();
      state.ResumeTiming();
      for (int i = 0; i < kMessages; ++i) {
        vl::logInLanguage(kEnglish, "Fel: Kunde inte ansluta.", "Error: Could not connect.");
      }
      state.PauseTiming();
    }
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kMessages);
}
BENCHMARK(BM_CopyLogMessages)->Arg(0)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_OneWriteAndSync(benchmark::State& state) {
  const std::string bytes(8 + static_cast<size_t>(state.range(0)) * kRecordBytes, 'x');
  for (auto _ : state) {
    state.PauseTiming();
    {
      ScratchFolder folder;
      state.ResumeTiming();
      const int fd = ::open("logg.bin", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
          ::fsync(fd) != 0) {
        state.SkipWithError("write failed");
      }
      if (fd >= 0) ::close(fd);
      state.PauseTiming();
    }
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_OneWriteAndSync)
    ->Arg(1000)
    ->Arg(3000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
