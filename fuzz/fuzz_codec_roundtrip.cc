// Every encoder's output decodes back to its input: the section path (kind
// 4), count-table coding (kinds 2 and 3) and run-length coding (kind 1).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "codec/block_codec.h"
#include "codec/run_length_coder.h"
#include "codec/table_huffman_coder.h"

namespace {

void expectRoundTrip(uint8_t kind, const vl::ByteBuffer& coded, std::span<const uint8_t> in) {
  vl::ByteBuffer back;
  if (!vl::decompress(kind, coded.span(), &back)) std::abort();
  if (back.size() != in.size()) std::abort();
  if (!in.empty() && std::memcmp(back.data(), in.data(), in.size()) != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> in(data, size);
  vl::ByteBuffer coded;
  if (!vl::compressSection(in, &coded)) std::abort();
  expectRoundTrip(4, coded, in);

  vl::ByteBuffer runs;
  if (!vl::RunLengthCoder::encode(in, &runs)) std::abort();
  if (runs.size() > 1 + size + size / 256) std::abort();
  expectRoundTrip(1, runs, in);
  if (size == 0) return 0;

  if (!vl::TableHuffmanCoder::encode(in, &coded)) std::abort();
  expectRoundTrip(2, coded, in);
  if (!vl::TableHuffmanCoder::encode(runs.span(), &coded)) std::abort();
  expectRoundTrip(3, coded, in);
  return 0;
}
