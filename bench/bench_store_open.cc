// Opening a copy store of many packs (one per backup run), as a server does
// each time an account connects, beside what the file system itself costs
// for the same folder in the same run.
//
//   bench_store_open [benchmark flags]
//       a store of 100 000 packs (VL_BENCH_PACKS overrides the count) with
//       one small section each, built once in the temporary folder.
//   BM_OpenStore        CopyStore::openForReading: lists the packs, reads
//                       each one's entries, builds the index
//   BM_ListAndStat      reference: readdir and stat of every pack (`ls -l`)
//   BM_OpenReadClose    reference: open, one read and close of every pack,
//                       the least any reader of every pack's entries does
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "server/store/copy_store.h"
#include "server/store/section_pack.h"

namespace {

uint32_t packCount() {
  const char* text = std::getenv("VL_BENCH_PACKS");
  const long count = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
  return count > 0 ? static_cast<uint32_t>(count) : 100000;
}

class ManyPackStore {
 public:
  ManyPackStore() : packs_(packCount()) {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/vlstore.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    root_ = pattern;
    if (!vl::CopyStore::open(root_)) std::abort();
    for (uint32_t number = 1; number <= packs_; ++number) {
      vl::PackWriter writer;
      const std::string record = "sealed section " + std::to_string(number);
      uint64_t offset = 0;
      uint32_t checksum = 0;
      if (!writer.create(sections() + "/" + std::to_string(number) + ".pack", number) ||
          !writer.append(number, reinterpret_cast<const uint8_t*>(record.data()),
                         static_cast<uint32_t>(record.size()), &offset, &checksum)) {
        std::abort();
      }
    }
  }
  ~ManyPackStore() { std::filesystem::remove_all(root_); }

  const std::string& root() const { return root_; }
  std::string sections() const { return root_ + "/sections"; }
  uint32_t packs() const { return packs_; }

 private:
  uint32_t packs_;
  std::string root_;
};

ManyPackStore& store() {
  static ManyPackStore built;
  return built;
}

void BM_OpenStore(benchmark::State& state) {
  ManyPackStore& built = store();
  for (auto _ : state) {
    std::optional<vl::CopyStore> opened = vl::CopyStore::openForReading(built.root());
    if (!opened || !opened->hasSection(built.packs())) state.SkipWithError("open failed");
    benchmark::DoNotOptimize(opened);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * built.packs());
}
BENCHMARK(BM_OpenStore)->Unit(benchmark::kMillisecond);

void BM_ListAndStat(benchmark::State& state) {
  ManyPackStore& built = store();
  for (auto _ : state) {
    DIR* dir = ::opendir(built.sections().c_str());
    if (dir == nullptr) state.SkipWithError("cannot list");
    uint64_t bytes = 0;
    while (dirent* entry = dir != nullptr ? ::readdir(dir) : nullptr) {
      struct stat info {};
      if (::fstatat(::dirfd(dir), entry->d_name, &info, 0) == 0) {
        bytes += static_cast<uint64_t>(info.st_size);
      }
    }
    if (dir != nullptr) ::closedir(dir);
    benchmark::DoNotOptimize(bytes);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * built.packs());
}
BENCHMARK(BM_ListAndStat)->Unit(benchmark::kMillisecond);

void BM_OpenReadClose(benchmark::State& state) {
  ManyPackStore& built = store();
  const std::string folder = built.sections() + "/";
  for (auto _ : state) {
    uint64_t bytes = 0;
    for (uint32_t number = 1; number <= built.packs(); ++number) {
      const int fd = ::open((folder + std::to_string(number) + ".pack").c_str(), O_RDONLY);
      if (fd < 0) continue;
      uint8_t head[256];
      const ssize_t got = ::pread(fd, head, sizeof head, 0);
      if (got > 0) bytes += static_cast<uint64_t>(got);
      ::close(fd);
    }
    benchmark::DoNotOptimize(bytes);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * built.packs());
}
BENCHMARK(BM_OpenReadClose)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
