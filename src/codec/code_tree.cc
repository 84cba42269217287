#include "codec/code_tree.h"

namespace vl {

int16_t CodeTree::addNode(int16_t left, int16_t right, uint8_t symbol) {
  Node& node = nodes[node_count];
  node.child[0] = left;
  node.child[1] = right;
  node.symbol = symbol;
  return static_cast<int16_t>(node_count++);
}

namespace {

// The builder's ordered list: at most 256 elements, so inserting by shifting
// an array is cheaper than any cleverer structure.
struct OrderedList {
  int16_t node[256];
  uint32_t weight[256];
  int size = 0;

  void insertAt(int position, int16_t n, uint32_t w) {
    for (int i = size; i > position; --i) {
      node[i] = node[i - 1];
      weight[i] = weight[i - 1];
    }
    node[position] = n;
    weight[position] = w;
    ++size;
  }
  // Index of the first element at or after `from` whose weight is at least
  // `w`, or size when there is none.
  int firstAtLeast(int from, uint32_t w) const {
    int i = from;
    while (i < size && weight[i] < w) ++i;
    return i;
  }
};

}  // namespace

CodeTree buildCodeTree(const ByteCounts& counts) {
  CodeTree tree;
  OrderedList list;
  // Values in ascending order, each in front of the first element of equal or
  // greater weight: among equal weights the higher value stands earlier.
  for (int v = 0; v < 256; ++v) {
    if (counts[v] == 0) continue;
    int16_t leaf = tree.addNode(CodeTree::kNone, CodeTree::kNone, static_cast<uint8_t>(v));
    list.insertAt(list.firstAtLeast(0, counts[v]), leaf, counts[v]);
  }
  if (list.size == 0) return tree;

  while (list.size >= 2) {
    int16_t x = list.node[0];
    int16_t y = list.node[1];
    uint32_t w = list.weight[0] + list.weight[1];
    // Drop the first two elements.
    for (int i = 2; i < list.size; ++i) {
      list.node[i - 2] = list.node[i];
      list.weight[i - 2] = list.weight[i];
    }
    list.size -= 2;
    int16_t merged = tree.addNode(x, y, 0);
    if (list.size == 0) {
      list.insertAt(0, merged, w);
    } else if (w < list.weight[0]) {
      list.insertAt(0, merged, w);
    } else {
      // Behind the first element even when it weighs the same, but ahead of
      // any later element of that weight.
      list.insertAt(list.firstAtLeast(1, w), merged, w);
    }
  }
  tree.root = list.node[0];
  return tree;
}

bool assignCodes(const CodeTree& tree, CodeOrder order, int left_bit, int max_length,
                 CodeTable* codes) {
  *codes = CodeTable{};
  if (tree.empty()) return true;
  struct Pending {
    int16_t node;
    uint8_t length;
    uint64_t path;  // step k in bit k
  };
  // Depth-first with an explicit stack: the pending right children along one
  // path, at most one per level.
  Pending stack[CodeTree::kMaxNodes];
  int top = 0;
  stack[top++] = {tree.root, 0, 0};
  while (top > 0) {
    Pending item = stack[--top];
    const CodeTree::Node& node = tree.nodes[item.node];
    if (tree.isLeaf(item.node)) {
      HuffmanCode& code = (*codes)[node.symbol];
      code.length = item.length;
      if (order == CodeOrder::kFirstStepLowest) {
        code.bits = item.path;
      } else {
        uint64_t reversed = 0;
        for (int k = 0; k < item.length; ++k)
          reversed |= ((item.path >> k) & 1) << (item.length - 1 - k);
        code.bits = reversed;
      }
      continue;
    }
    if (item.length >= max_length) return false;
    for (int side = 1; side >= 0; --side) {
      if (node.child[side] == CodeTree::kNone) continue;
      uint64_t bit = static_cast<uint64_t>(side == 0 ? left_bit : 1 - left_bit);
      stack[top++] = {node.child[side], static_cast<uint8_t>(item.length + 1),
                      item.path | (bit << item.length)};
    }
  }
  return true;
}

}  // namespace vl
