#include "codec/tree_huffman_coder.h"

#include <cstring>

#include "codec/bit_io.h"
#include "codec/byte_histogram.h"
#include "codec/code_tree.h"
#include "codec/code_writer.h"
#include "codec/huffman_decode_table.h"

namespace vl {

namespace {

constexpr int kMaxCodeLength = 48;
constexpr int kMaxLeaves = 256;

int widthClass(uint64_t length) {
  if (length <= 0xff) return 0;
  if (length <= 0xffff) return 1;
  if (length <= 0xffffff) return 2;
  return 3;
}

int headerBits(int width_class) { return 2 + 8 * (width_class + 1); }

// Reads the code tree that starts at bit `*position`; false when it runs
// past `total_bits` or holds more than 256 leaves. An explicit stack keeps a
// hostile run of 0 bits from nesting without limit: 256 open internal nodes
// already need 257 leaves, so the tree is refused there.
bool readTree(const uint8_t* in, size_t size, uint64_t total_bits, uint64_t* position,
              CodeTree* tree) {
  int16_t open[kMaxLeaves];
  int open_count = 0;
  int internal_count = 0;
  int leaf_count = 0;
  uint64_t pos = *position;
  do {
    if (pos >= total_bits) return false;
    bool leaf = (peekLsb(in, size, pos) & 1) != 0;
    pos += 1;
    int16_t node;
    if (leaf) {
      if (pos + 8 > total_bits || ++leaf_count > kMaxLeaves) return false;
      node = tree->addNode(CodeTree::kNone, CodeTree::kNone,
                           static_cast<uint8_t>(peekLsb(in, size, pos)));
      pos += 8;
    } else {
      if (++internal_count >= kMaxLeaves) return false;
      node = tree->addNode(CodeTree::kNone, CodeTree::kNone, 0);
    }
    if (open_count == 0) {
      tree->root = node;
    } else {
      CodeTree::Node& parent = tree->nodes[open[open_count - 1]];
      if (parent.child[0] == CodeTree::kNone) {
        parent.child[0] = node;
      } else {
        parent.child[1] = node;
        --open_count;
      }
    }
    if (!leaf) open[open_count++] = node;
  } while (open_count > 0);
  *position = pos;
  return true;
}

// Decodes `count` symbols starting at bit `pos` into `out`; false when a
// code needs a bit past `total_bits`.
bool decodeSymbols(const uint8_t* in, size_t size, uint64_t pos, const CodeTree& tree,
                   const HuffmanDecodeTable& table, uint8_t* out, size_t count) {
  using Table = HuffmanDecodeTable;
  constexpr int kLookupsPerLoad = Table::kLookupsPerLoad;
  const uint64_t total_bits = static_cast<uint64_t>(size) * 8;
  uint8_t* o = out;
  uint8_t* const end = out + count;
  while (o < end) {
    // Several lookups of up to kLookupBits bits, each taking one or two codes,
    // from one load while eight whole bytes remain, so no bound check is
    // needed inside. Both bytes of a pair are stored even when it holds one
    // code; the next store overwrites the spare byte.
    while (end - o >= 2 * kLookupsPerLoad && (pos >> 3) + 8 <= size) {
      uint64_t bits = loadLittle64(in + (pos >> 3)) >> (pos & 7);
      int k = 0;
      for (; k < kLookupsPerLoad; ++k) {
        const uint32_t pair = table.pair(static_cast<uint32_t>(bits) & Table::kLookupMask);
        if (Table::pairCount(pair) == 0) break;
        o[0] = static_cast<uint8_t>(pair);
        o[1] = static_cast<uint8_t>(pair >> 8);
        o += Table::pairCount(pair);
        bits >>= Table::pairLength(pair);
        pos += Table::pairLength(pair);
      }
      if (k < kLookupsPerLoad) break;
    }
    if (o == end) break;
    // One code, with every bound checked, and codes longer than the lookup.
    const Table::Entry& e =
        table[static_cast<uint32_t>(peekLsb(in, size, pos)) & Table::kLookupMask];
    if (e.kind == Table::kDeadEnd) return false;  // a parsed tree has none; kept for safety
    pos += e.length;
    if (pos > total_bits) return false;
    int node = e.value;
    if (e.kind == Table::kDeeper) {
      while (!tree.isLeaf(node)) {
        if (pos >= total_bits) return false;
        node = tree.nodes[node].child[peekLsb(in, size, pos) & 1];
        pos += 1;
      }
      *o++ = tree.nodes[node].symbol;
    } else {
      *o++ = static_cast<uint8_t>(e.value);
    }
  }
  return true;
}

}  // namespace

bool TreeHuffmanCoder::encode(std::span<const uint8_t> in, ByteBuffer* out) {
  return encodeCounted(in, countBytes(in), out);
}

bool TreeHuffmanCoder::encodeCounted(std::span<const uint8_t> in, const ByteCounts& counts,
                                     ByteBuffer* out, uint64_t limit) {
  out->clear();
  const uint64_t n = in.size();
  if (n == 0) return false;
  const CodeTree tree = buildCodeTree(counts);
  CodeTable codes;
  if (!assignCodes(tree, CodeOrder::kFirstStepLowest, 0, kMaxCodeLength, &codes)) return false;

  const int width_class = widthClass(n);
  const SymbolCodes symbol_codes = flattenCodes(codes, counts);
  const int leaves = symbol_codes.distinct;
  const uint64_t tree_bits = 9 * static_cast<uint64_t>(leaves) + (leaves - 1);
  const uint64_t total_bits = headerBits(width_class) + tree_bits + symbol_codes.total_bits;
  const uint64_t total_bytes = (total_bits + 7) / 8;
  if (total_bytes > n + n / 4 + 500) return false;
  if (total_bytes >= limit) return true;

  constexpr size_t kSlack = 8;
  out->resize(static_cast<size_t>(total_bytes) + kSlack);
  LsbBitWriter writer(out->data());
  writer.put(static_cast<uint64_t>(width_class), 2);
  writer.put(n, 8 * (width_class + 1));
  writer.flush();

  // Pre-order: a node, then its left subtree, then its right subtree.
  int16_t stack[CodeTree::kMaxNodes];
  int top = 0;
  stack[top++] = tree.root;
  while (top > 0) {
    int16_t node = stack[--top];
    if (tree.isLeaf(node)) {
      writer.put(1 | (static_cast<uint64_t>(tree.nodes[node].symbol) << 1), 9);
    } else {
      writer.put(0, 1);
      stack[top++] = tree.nodes[node].child[1];
      stack[top++] = tree.nodes[node].child[0];
    }
    writer.flush();
  }

  writeSymbolCodes(in, symbol_codes, writer);
  writer.finish();
  out->resize(static_cast<size_t>(total_bytes));
  return true;
}

bool TreeHuffmanCoder::decode(std::span<const uint8_t> in, ByteBuffer* out, uint32_t max_output) {
  out->clear();
  const uint8_t* p = in.data();
  const size_t size = in.size();
  if (size == 0) return false;
  const int width_class = p[0] & 3;
  if (size < static_cast<size_t>(width_class) + 2) return false;
  const int length_bits = 8 * (width_class + 1);
  const uint64_t length = (peekLsb(p, size, 2) & ((1ull << length_bits) - 1));
  uint64_t pos = static_cast<uint64_t>(headerBits(width_class));
  const uint64_t total_bits = static_cast<uint64_t>(size) * 8;

  CodeTree tree;
  if (!readTree(p, size, total_bits, &pos, &tree)) return false;
  if (length > max_output) return false;
  if (tree.isLeaf(tree.root)) {
    out->resize(static_cast<size_t>(length));
    if (length > 0)
      std::memset(out->data(), tree.nodes[tree.root].symbol, static_cast<size_t>(length));
    return true;
  }
  // Every code is at least one bit long: a length beyond the bits left can
  // only fail, so refuse it before allocating.
  if (length > total_bits - pos) return false;
  HuffmanDecodeTable table;
  table.build(tree, CodeOrder::kFirstStepLowest, 0);
  out->resize(static_cast<size_t>(length));
  if (!decodeSymbols(p, size, pos, tree, table, out->data(), static_cast<size_t>(length))) {
    out->clear();
    return false;
  }
  return true;
}

}  // namespace vl
