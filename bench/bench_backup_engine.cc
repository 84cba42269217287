// The backup engine over a tree of small and large files, beside the least
// any backup must do with the same files: read each once and hash it with
// OpenSSL's SHA-256 (the reference). The engine reads a file of several
// sections twice and hashes its bytes three times (whole, per section, and
// the bytes as cut), a file of one section once.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/backup_engine.h"

namespace {

struct Tree {
  std::string root;
  std::string work;
  std::vector<std::string> files;
  uint64_t bytes = 0;

  Tree() {
    char pattern[] = "/tmp/vl_bench_engine.XXXXXX";
    root = ::mkdtemp(pattern);
    work = root + "/wd";
    std::filesystem::create_directories(root + "/tree/small");
    std::filesystem::create_directories(work);
    uint32_t x = 12345;
    auto write = [&](const std::string& path, size_t size) {
      std::string data(size, '\0');
      for (char& c : data) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
      }
      FILE* f = std::fopen(path.c_str(), "wb");
      std::fwrite(data.data(), 1, data.size(), f);
      std::fclose(f);
      files.push_back(path);
      bytes += size;
    };
    for (int i = 0; i < 200; ++i) write(root + "/tree/small/f" + std::to_string(i), 64 * 1024);
    for (int i = 0; i < 8; ++i) write(root + "/tree/big" + std::to_string(i), 5 * 1024 * 1024 + 77);
  }
  ~Tree() { std::filesystem::remove_all(root); }
};

Tree& tree() {
  static Tree t;
  return t;
}

// A whole first copy, sections handed out and dropped.
void BM_EngineFirstCopy(benchmark::State& state) {
  Tree& t = tree();
  std::filesystem::current_path(t.work);
  for (auto _ : state) {
    std::atomic<uint8_t> cancel{0};
    vl::BackupEngineOptions options;
    options.folders = {t.root + "/tree"};
    options.cancel = &cancel;
    vl::BackupEngine engine(options);
    for (;;) {
      vl::ByteBuffer section;
      uint32_t id = 0;
      bool finished = false;
      std::string path;
      if (!engine.nextSection(&section, &id, &finished, &path)) state.SkipWithError("failed");
      if (finished) break;
      benchmark::DoNotOptimize(section.data());
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * t.bytes));
}
BENCHMARK(BM_EngineFirstCopy)->Unit(benchmark::kMillisecond);

// Reference: every file read once and hashed by OpenSSL.
void BM_ReadAndHashOpenSSL(benchmark::State& state) {
  Tree& t = tree();
  std::vector<unsigned char> buffer(1 << 20);
  for (auto _ : state) {
    for (const std::string& path : t.files) {
      FILE* f = std::fopen(path.c_str(), "rb");
      EVP_MD_CTX* sha = EVP_MD_CTX_new();
      EVP_DigestInit_ex(sha, EVP_sha256(), nullptr);
      size_t got;
      while ((got = std::fread(buffer.data(), 1, buffer.size(), f)) > 0) {
        EVP_DigestUpdate(sha, buffer.data(), got);
      }
      unsigned char digest[32];
      EVP_DigestFinal_ex(sha, digest, nullptr);
      EVP_MD_CTX_free(sha);
      benchmark::DoNotOptimize(digest);
      std::fclose(f);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * t.bytes));
}
BENCHMARK(BM_ReadAndHashOpenSSL)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
