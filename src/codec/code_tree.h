// CodeTree: the binary code tree shared by both Huffman coders.
//
// Leaves carry a byte value; internal nodes carry none. The builder turns a
// table of byte counts into a tree, and its tie-breaks are part of the stored
// format: the count-table decoder rebuilds exactly the tree its encoder built
// from the counts alone, so the order in which equal weights are merged must
// never change.
#pragma once

#include <array>
#include <cstdint>

#include "codec/byte_histogram.h"

namespace vl {

struct CodeTree {
  static constexpr int16_t kNone = -1;
  // 256 leaves, 255 internal nodes and the count-table coder's wrapper root.
  static constexpr int kMaxNodes = 512;

  struct Node {
    int16_t child[2] = {kNone, kNone};  // [0] left, [1] right
    uint8_t symbol = 0;
  };

  std::array<Node, kMaxNodes> nodes;
  int node_count = 0;
  int16_t root = kNone;

  bool empty() const { return root == kNone; }
  // A leaf has no children; the wrapper root has a left child only and is
  // therefore not a leaf.
  bool isLeaf(int node) const {
    return nodes[node].child[0] == kNone && nodes[node].child[1] == kNone;
  }
  // Appends a node and returns its index; the caller keeps within kMaxNodes.
  int16_t addNode(int16_t left, int16_t right, uint8_t symbol);
};

// Builds the tree of the values whose count is not zero. Weights are 32-bit
// and add with wrap-around, which only matters for count tables that no
// encoder wrote. All counts zero gives an empty tree; a single value gives a
// tree that is just that leaf.
CodeTree buildCodeTree(const ByteCounts& counts);

// Code of one byte value: `length` bits held in the low bits of `bits`, in
// the order the stream takes them (see assignCodes).
struct HuffmanCode {
  uint64_t bits = 0;
  uint8_t length = 0;
};
using CodeTable = std::array<HuffmanCode, 256>;

// How a code's path from the root becomes bits.
//   kFirstStepLowest: step k is bit k of `bits` (streams written from the
//     least significant bit up).
//   kFirstStepHighest: step k is bit length-1-k (streams written from the
//     most significant bit down).
// `left_bit` is the bit value of a step to a left child.
enum class CodeOrder { kFirstStepLowest, kFirstStepHighest };

// Fills `codes` for every leaf of `tree` (other entries get length 0).
// False when some code is longer than `max_length` bits, which no tree built
// from the counts of a real input reaches.
bool assignCodes(const CodeTree& tree, CodeOrder order, int left_bit, int max_length,
                 CodeTable* codes);

}  // namespace vl
