#include "codec/block_codec.h"

#include <cstdint>

#include "codec/run_length_coder.h"
#include "codec/table_huffman_coder.h"
#include "codec/tree_huffman_coder.h"
#include "core/zero_bytes.h"

namespace vl {

namespace {

// The longest run-length stream that decodes to at most `limit` bytes: every
// stream byte but the escape at its start yields at least half a byte.
uint32_t runLengthStreamLimit(uint32_t limit) {
  uint64_t bound = 2 * static_cast<uint64_t>(limit) + 1;
  return bound > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(bound);
}

// Run-length, then tree coding.
bool codeSection(std::span<const uint8_t> in, size_t limit, ByteBuffer* out) {
  // The run-length stream lives only until the Huffman stage has coded it;
  // each thread keeps its memory from section to section and wipes what it
  // held after each.
  thread_local ByteBuffer runs;
  ByteCounts counts;
  bool coded = RunLengthCoder::encodeCounting(in, &runs, &counts) &&
               TreeHuffmanCoder::encodeCounted(runs.span(), counts, out, limit);
  runs.resize(0);
  return coded;
}

// Zeros of this length or more are coded once per thread and length.
constexpr size_t kKeptZeros = 64 * 1024;

// Zeros code alike whatever section they come from, and disk images and
// preallocated files hold many whole sections of them: each thread keeps the
// coding of the last length of zeros it met (it holds no data).
bool codeZeros(size_t length, size_t limit, ByteBuffer* out) {
  thread_local ByteBuffer coded;
  thread_local size_t codedLength = 0;
  if (codedLength != length) {
    codedLength = 0;
    ByteBuffer zeros(length);
    if (!codeSection(zeros.span(), SIZE_MAX, &coded)) return false;
    codedLength = length;
  }
  if (coded.size() < limit) *out = coded;
  return true;
}

}  // namespace

bool compressSection(std::span<const uint8_t> in, ByteBuffer* out) {
  return compressSectionBelow(in, SIZE_MAX, out);
}

bool compressSectionBelow(std::span<const uint8_t> in, size_t limit, ByteBuffer* out) {
  out->clear();
  if (in.empty()) return true;
  if (in.size() >= kKeptZeros && allZero(in)) return codeZeros(in.size(), limit, out);
  return codeSection(in, limit, out);
}

bool decompress(uint8_t kind, std::span<const uint8_t> in, ByteBuffer* out, uint32_t max_output) {
  out->clear();
  if (kind > static_cast<uint8_t>(CompressionKind::kRunLengthTreeHuffman)) return false;
  if (in.empty()) return true;
  ByteBuffer runs;
  switch (static_cast<CompressionKind>(kind)) {
    case CompressionKind::kStored:
      if (in.size() > max_output) return false;
      out->appendBytes(in);
      return true;
    case CompressionKind::kRunLength:
      return RunLengthCoder::decode(in, out, max_output);
    case CompressionKind::kTableHuffman:
      return TableHuffmanCoder::decode(in, out, max_output);
    case CompressionKind::kRunLengthTableHuffman:
      if (!TableHuffmanCoder::decode(in, &runs, runLengthStreamLimit(max_output))) return false;
      break;
    case CompressionKind::kRunLengthTreeHuffman:
      if (!TreeHuffmanCoder::decode(in, &runs, runLengthStreamLimit(max_output))) return false;
      break;
  }
  if (runs.empty()) return true;
  return RunLengthCoder::decode(runs.span(), out, max_output);
}

}  // namespace vl
