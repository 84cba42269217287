// Decodes arbitrary streams with the table-driven Huffman decoders and with
// a plain bit-by-bit walk, and stops on any difference in verdict or bytes.
// The first byte picks the coder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "../tests/codec/literal_decoders.h"
#include "codec/table_huffman_coder.h"
#include "codec/tree_huffman_coder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  constexpr uint32_t kCeiling = 1 << 20;
  const bool table = (data[0] & 1) != 0;
  std::vector<uint8_t> stream(data + 1, data + size);
  vl::ByteBuffer out;
  bool ok = table ? vl::TableHuffmanCoder::decode(stream, &out, kCeiling)
                  : vl::TreeHuffmanCoder::decode(stream, &out, kCeiling);
  std::optional<std::vector<uint8_t>> expected =
      table ? vl::test::literalTableDecode(stream, kCeiling)
            : vl::test::literalTreeDecode(stream, kCeiling);
  if (ok != expected.has_value()) std::abort();
  if (!ok) {
    if (!out.empty()) std::abort();
    return 0;
  }
  if (out.size() != expected->size()) std::abort();
  if (out.size() > 0 && std::memcmp(out.data(), expected->data(), out.size()) != 0) std::abort();
  return 0;
}
