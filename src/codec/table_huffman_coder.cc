#include "codec/table_huffman_coder.h"

#include "codec/bit_io.h"
#include "codec/byte_histogram.h"
#include "codec/code_tree.h"
#include "codec/code_writer.h"
#include "codec/huffman_decode_table.h"

namespace vl {

namespace {

constexpr int kMaxCodeLength = 48;
constexpr size_t kHeaderSize = 9;

int countWidth(const ByteCounts& counts) {
  uint32_t largest = 0;
  for (uint32_t c : counts) largest = c > largest ? c : largest;
  if (largest <= 0xff) return 1;
  if (largest <= 0xffff) return 2;
  if (largest <= 0xffffff) return 3;
  return 4;
}

// The tree both sides derive from the counts: a lone leaf gets a root above
// it, on its left, so that its code is one bit rather than none.
CodeTree treeForCounts(const ByteCounts& counts) {
  CodeTree tree = buildCodeTree(counts);
  if (!tree.empty() && tree.isLeaf(tree.root)) {
    tree.root = tree.addNode(tree.root, CodeTree::kNone, 0);
  }
  return tree;
}

// Decodes the `bit_count` code bits at `in` into exactly `count` bytes.
bool decodeSymbols(const uint8_t* in, size_t size, uint64_t bit_count, const CodeTree& tree,
                   const HuffmanDecodeTable& table, uint8_t* out, size_t count) {
  using Table = HuffmanDecodeTable;
  constexpr int kLookupsPerLoad = Table::kLookupsPerLoad;
  constexpr int kShift = 64 - Table::kLookupBits;
  uint8_t* o = out;
  uint8_t* const end = out + count;
  uint64_t pos = 0;
  while (pos < bit_count) {
    // As in the tree-coded decoder: several lookups of one or two codes each
    // per load, while the load and all bits it may use lie within the codes.
    while (end - o >= 2 * kLookupsPerLoad && (pos >> 3) + 8 <= size &&
           pos + kLookupsPerLoad * Table::kLookupBits <= bit_count) {
      uint64_t bits = loadBig64(in + (pos >> 3)) << (pos & 7);
      int k = 0;
      for (; k < kLookupsPerLoad; ++k) {
        const uint32_t pair = table.pair(static_cast<uint32_t>(bits >> kShift));
        if (Table::pairCount(pair) == 0) break;
        o[0] = static_cast<uint8_t>(pair);
        o[1] = static_cast<uint8_t>(pair >> 8);
        o += Table::pairCount(pair);
        bits <<= Table::pairLength(pair);
        pos += Table::pairLength(pair);
      }
      if (k < kLookupsPerLoad) break;
    }
    if (pos >= bit_count) break;
    const Table::Entry& e = table[static_cast<uint32_t>(peekMsb(in, size, pos) >> kShift)];
    if (e.kind == Table::kDeadEnd) return false;
    pos += e.length;
    // Bits ending inside a code leave the walk at an internal node.
    if (pos > bit_count) return false;
    uint8_t symbol = static_cast<uint8_t>(e.value);
    if (e.kind == Table::kDeeper) {
      int node = e.value;
      while (!tree.isLeaf(node)) {
        if (pos >= bit_count) return false;
        int bit = static_cast<int>(peekMsb(in, size, pos) >> 63);
        node = tree.nodes[node].child[1 - bit];
        if (node == CodeTree::kNone) return false;
        pos += 1;
      }
      symbol = tree.nodes[node].symbol;
    }
    if (o == end) return false;
    *o++ = symbol;
  }
  return o == end;
}

}  // namespace

bool TableHuffmanCoder::encode(std::span<const uint8_t> in, ByteBuffer* out) {
  out->clear();
  if (in.empty()) return false;
  const ByteCounts counts = countBytes(in);
  const CodeTree tree = treeForCounts(counts);
  CodeTable codes;
  if (!assignCodes(tree, CodeOrder::kFirstStepHighest, 1, kMaxCodeLength, &codes)) return false;

  const SymbolCodes symbol_codes = flattenCodes(codes, counts);
  const uint64_t bit_count = symbol_codes.total_bits;
  if (bit_count > UINT32_MAX) return false;
  const int width = countWidth(counts);
  const size_t table_end = kHeaderSize + 256 * static_cast<size_t>(width);
  const uint64_t total = table_end + (bit_count + 7) / 8;
  constexpr size_t kSlack = 8;
  if (total + kSlack > UINT32_MAX) return false;

  out->reserve(static_cast<size_t>(total) + kSlack);
  out->appendU32(static_cast<uint32_t>(bit_count));
  out->appendU32(static_cast<uint32_t>(in.size()));
  out->appendU8(static_cast<uint8_t>(width));
  for (uint32_t c : counts) {
    for (int b = 0; b < width; ++b) out->appendU8(static_cast<uint8_t>(c >> (8 * b)));
  }
  out->resize(static_cast<size_t>(total) + kSlack);
  MsbBitWriter writer(out->data() + table_end);
  writeSymbolCodes(in, symbol_codes, writer);
  writer.finish();
  out->resize(static_cast<size_t>(total));
  return true;
}

bool TableHuffmanCoder::decode(std::span<const uint8_t> in, ByteBuffer* out, uint32_t max_output) {
  out->clear();
  const uint8_t* p = in.data();
  const size_t size = in.size();
  if (size < kHeaderSize) return false;
  auto u32At = [p](size_t at) {
    return static_cast<uint32_t>(p[at]) | static_cast<uint32_t>(p[at + 1]) << 8 |
           static_cast<uint32_t>(p[at + 2]) << 16 | static_cast<uint32_t>(p[at + 3]) << 24;
  };
  const uint32_t bit_count = u32At(0);
  const uint32_t length = u32At(4);
  const int width = p[8];
  if (width < 1 || width > 4) return false;
  const size_t table_end = kHeaderSize + 256 * static_cast<size_t>(width);
  const uint64_t code_bytes = (static_cast<uint64_t>(bit_count) + 7) / 8;
  // The stream must hold the whole table and every code bit it declares.
  if (size < table_end || size - table_end < code_bytes) return false;
  // The walk always ends by emitting the node it reached, which with no bits
  // at all is the root, never a leaf. Each byte takes at least one bit.
  if (bit_count == 0 || length > bit_count || length > max_output) return false;

  ByteCounts counts;
  for (int v = 0; v < 256; ++v) {
    uint32_t c = 0;
    for (int b = 0; b < width; ++b)
      c |= static_cast<uint32_t>(p[kHeaderSize + v * width + b]) << (8 * b);
    counts[v] = c;
  }
  const CodeTree tree = treeForCounts(counts);
  if (tree.empty()) return false;
  HuffmanDecodeTable table;
  table.build(tree, CodeOrder::kFirstStepHighest, 1);
  out->resize(length);
  if (!decodeSymbols(p + table_end, static_cast<size_t>(code_bytes), bit_count, tree, table,
                     out->data(), length)) {
    out->clear();
    return false;
  }
  return true;
}

}  // namespace vl
