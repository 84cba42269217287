#include "codec/code_tree.h"

#include <algorithm>

namespace vl {

int16_t CodeTree::addNode(int16_t left, int16_t right, uint8_t symbol) {
  Node& node = nodes[node_count];
  node.child[0] = left;
  node.child[1] = right;
  node.symbol = symbol;
  return static_cast<int16_t>(node_count++);
}

namespace {

// The builder's ordered list of subtrees, lightest first. The two lightest
// leave from the front by moving its start, and a merged subtree that
// belongs in front takes the place before it, so only insertions further
// back shift elements. Each merge removes two and adds one: the end never
// passes 256 + 255.
struct OrderedList {
  int16_t node[512];
  uint32_t weight[512];
  int begin = 0;
  int end = 0;

  int size() const { return end - begin; }
  void insertAt(int position, int16_t n, uint32_t w) {
    if (position == begin && begin > 0) {
      position = --begin;
    } else {
      for (int i = end; i > position; --i) {
        node[i] = node[i - 1];
        weight[i] = weight[i - 1];
      }
      ++end;
    }
    node[position] = n;
    weight[position] = w;
  }
};

}  // namespace

CodeTree buildCodeTree(const ByteCounts& counts) {
  CodeTree tree;
  OrderedList list;
  // Lightest first; among equal weights the higher value stands earlier.
  struct Leaf {
    uint32_t weight;
    int16_t node;
    uint8_t value;
  };
  Leaf leaves[256];
  int count = 0;
  for (int v = 0; v < 256; ++v) {
    if (counts[v] == 0) continue;
    int16_t node = tree.addNode(CodeTree::kNone, CodeTree::kNone, static_cast<uint8_t>(v));
    leaves[count++] = Leaf{counts[v], node, static_cast<uint8_t>(v)};
  }
  if (count == 0) return tree;
  std::sort(leaves, leaves + count, [](const Leaf& a, const Leaf& b) {
    return a.weight != b.weight ? a.weight < b.weight : a.value > b.value;
  });
  for (int i = 0; i < count; ++i) {
    list.node[i] = leaves[i].node;
    list.weight[i] = leaves[i].weight;
  }
  list.end = count;

  while (list.size() >= 2) {
    int16_t x = list.node[list.begin];
    int16_t y = list.node[list.begin + 1];
    uint32_t w = list.weight[list.begin] + list.weight[list.begin + 1];
    list.begin += 2;
    int16_t merged = tree.addNode(x, y, 0);
    int position = list.begin;
    if (list.size() > 0 && w >= list.weight[list.begin]) {
      // Behind the first element even when it weighs the same, but ahead of
      // any later element of that weight.
      position = list.begin + 1;
      while (position < list.end && list.weight[position] < w) ++position;
    }
    list.insertAt(position, merged, w);
  }
  tree.root = list.node[list.begin];
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
