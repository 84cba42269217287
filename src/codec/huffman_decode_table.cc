#include "codec/huffman_decode_table.h"

namespace vl {

void HuffmanDecodeTable::build(const CodeTree& tree, CodeOrder order, int left_bit) {
  const bool first_lowest = order == CodeOrder::kFirstStepLowest;
  // The indices whose first `depth` bits are the path `index`: with the first
  // step lowest they are index + j << depth, otherwise index + j.
  auto fill = [&](uint32_t index, int depth, Entry entry) {
    uint32_t spread = 1u << (kLookupBits - depth);
    for (uint32_t j = 0; j < spread; ++j) {
      entries_[first_lowest ? index | (j << depth) : index + j] = entry;
    }
  };
  auto stepBit = [&](int depth, uint32_t bit) {
    return first_lowest ? bit << depth : bit << (kLookupBits - 1 - depth);
  };

  struct Pending {
    int16_t node;
    uint8_t depth;
    uint32_t index;
  };
  Pending stack[2 * (kLookupBits + 1)];
  int top = 0;
  stack[top++] = {tree.root, 0, 0};
  while (top > 0) {
    Pending item = stack[--top];
    if (tree.isLeaf(item.node)) {
      fill(item.index, item.depth, {tree.nodes[item.node].symbol, item.depth, kLeaf});
      continue;
    }
    if (item.depth == kLookupBits) {
      entries_[item.index] = {static_cast<uint16_t>(item.node), kLookupBits, kDeeper};
      continue;
    }
    for (int side = 0; side < 2; ++side) {
      uint32_t bit = static_cast<uint32_t>(side == 0 ? left_bit : 1 - left_bit);
      uint32_t index = item.index | stepBit(item.depth, bit);
      int16_t child = tree.nodes[item.node].child[side];
      if (child == CodeTree::kNone) {
        fill(index, item.depth + 1, {0, static_cast<uint8_t>(item.depth + 1), kDeadEnd});
      } else {
        stack[top++] = {child, static_cast<uint8_t>(item.depth + 1), index};
      }
    }
  }
  buildPairs(first_lowest);
}

void HuffmanDecodeTable::buildPairs(bool first_lowest) {
  for (uint32_t index = 0; index <= kLookupMask; ++index) {
    const Entry& first = entries_[index];
    if (first.kind != kLeaf) {
      pairs_[index] = 0;
      continue;
    }
    const uint32_t used = first.length;
    uint32_t pair = first.value | used << 16 | 1u << 24;
    // The bits after the first code, with the unknown ones as 0: the second
    // code is only taken when it lies wholly within the known bits.
    const uint32_t rest = first_lowest ? index >> used : (index << used) & kLookupMask;
    const Entry& second = entries_[rest];
    if (second.kind == kLeaf && used + second.length <= kLookupBits) {
      pair = first.value | static_cast<uint32_t>(second.value) << 8 | (used + second.length) << 16 |
             2u << 24;
    }
    pairs_[index] = pair;
  }
}

}  // namespace vl
