// The measuring scan of the selected folders.
//
//   bench_scan --scan DIR     measures DIR once and prints the totals; the
//                             script bench/scan_vs_du.sh times this beside
//                             `du -s --apparent-size` on the same tree.
//   bench_scan [benchmark flags]
//                             Google Benchmark run over a small generated tree.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/folder_scan.h"

namespace {

bool scanOnce(const char* path, vl::ScanTotals* totals) {
  vl::FolderMainAction callback;
  vl::ScanRequest request;
  request.path = path;
  request.current_path = path;
  request.include_hidden = true;  // du counts everything
  return vl::measureFolder(request, callback, totals);
}

class GeneratedTree {
 public:
  GeneratedTree() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/vlscan.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    root_ = pattern;
    for (int d = 0; d < 40; ++d) {
      std::string folder = root_ + "/d" + std::to_string(d);
      std::filesystem::create_directories(folder);
      for (int f = 0; f < 100; ++f) {
        std::ofstream(folder + "/f" + std::to_string(f)) << std::string(static_cast<size_t>(f * 37), 'x');
      }
    }
  }
  ~GeneratedTree() { std::filesystem::remove_all(root_); }
  const std::string& root() const { return root_; }

 private:
  std::string root_;
};

void BM_MeasuringScan(benchmark::State& state) {
  static GeneratedTree tree;
  for (auto _ : state) {
    vl::ScanTotals totals;
    if (!scanOnce(tree.root().c_str(), &totals)) state.SkipWithError("scan failed");
    benchmark::DoNotOptimize(totals);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 4000);
}
BENCHMARK(BM_MeasuringScan)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--scan") == 0) {
    vl::ScanTotals totals;
    if (!scanOnce(argv[2], &totals)) {
      std::fprintf(stderr, "bench_scan: could not scan %s\n", argv[2]);
      return 1;
    }
    std::printf("%u files, %u sections, %llu bytes\n", totals.files, totals.sections,
                static_cast<unsigned long long>(totals.bytes));
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
