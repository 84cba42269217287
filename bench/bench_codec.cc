// The block codec beside zlib at level 1 (compress2 / uncompress) on the
// same 2 MiB inputs: text-like, binary, all zero and random. Each benchmark
// reports its speed (bytes of plain data per second) and the compressed
// size in the counter "packed".
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdlib>
#include <vector>

#include "../tests/codec/sample_data.h"
#include "codec/block_codec.h"

namespace {

using vl::test::Bytes;

constexpr size_t kSection = 2 * 1024 * 1024;

const Bytes& input(int shape) {
  static const Bytes inputs[] = {vl::test::textLike(kSection, 1), vl::test::binaryLike(kSection, 2),
                                 Bytes(kSection, 0), vl::test::randomBytes(kSection, 3)};
  return inputs[shape];
}

const char* const kShapeNames[] = {"text", "binary", "zero", "random"};

void setShape(benchmark::State& state, size_t packed) {
  state.SetLabel(kShapeNames[state.range(0)]);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kSection);
  state.counters["packed"] = static_cast<double>(packed);
}

void OursCompress(benchmark::State& state) {
  const Bytes& in = input(static_cast<int>(state.range(0)));
  vl::ByteBuffer out;
  for (auto _ : state) {
    if (!vl::compressSection(in, &out)) std::abort();
    benchmark::DoNotOptimize(out.data());
  }
  setShape(state, out.size());
}

void OursDecompress(benchmark::State& state) {
  const Bytes& in = input(static_cast<int>(state.range(0)));
  vl::ByteBuffer packed;
  if (!vl::compressSection(in, &packed)) std::abort();
  vl::ByteBuffer out;
  for (auto _ : state) {
    if (!vl::decompress(4, packed.span(), &out)) std::abort();
    benchmark::DoNotOptimize(out.data());
  }
  if (out.size() != in.size()) std::abort();
  setShape(state, packed.size());
}

Bytes zlibCompress(const Bytes& in) {
  uLongf length = compressBound(in.size());
  Bytes out(length);
  if (compress2(out.data(), &length, in.data(), in.size(), 1) != Z_OK) std::abort();
  out.resize(length);
  return out;
}

void ZlibCompress(benchmark::State& state) {
  const Bytes& in = input(static_cast<int>(state.range(0)));
  Bytes out(compressBound(in.size()));
  uLongf length = 0;
  for (auto _ : state) {
    length = out.size();
    if (compress2(out.data(), &length, in.data(), in.size(), 1) != Z_OK) std::abort();
    benchmark::DoNotOptimize(out.data());
  }
  setShape(state, length);
}

void ZlibDecompress(benchmark::State& state) {
  const Bytes& in = input(static_cast<int>(state.range(0)));
  const Bytes packed = zlibCompress(in);
  Bytes out(in.size());
  for (auto _ : state) {
    uLongf length = out.size();
    if (uncompress(out.data(), &length, packed.data(), packed.size()) != Z_OK) std::abort();
    benchmark::DoNotOptimize(out.data());
  }
  setShape(state, packed.size());
}

BENCHMARK(OursCompress)->DenseRange(0, 3);
BENCHMARK(ZlibCompress)->DenseRange(0, 3);
BENCHMARK(OursDecompress)->DenseRange(0, 3);
BENCHMARK(ZlibDecompress)->DenseRange(0, 3);

}  // namespace

BENCHMARK_MAIN();
