// HuffmanDecodeTable: decodes a code by one lookup instead of a walk.
//
// The table is indexed by the next kLookupBits bits of the stream. An entry
// names the leaf whose code those bits begin with and the code's length, or,
// for codes longer than the lookup, the internal node reached after
// kLookupBits steps (the decoder walks on from there bit by bit), or a dead
// end: a step to a child that does not exist (only the count-table coder's
// wrapper root lacks a child). Decoding with the table gives exactly the
// result of walking the tree.
#pragma once

#include <array>
#include <cstdint>

#include "codec/code_tree.h"

namespace vl {

class HuffmanDecodeTable {
 public:
  static constexpr int kLookupBits = 11;
  static constexpr uint32_t kLookupMask = (1u << kLookupBits) - 1;

  enum Kind : uint8_t { kLeaf = 0, kDeeper = 1, kDeadEnd = 2 };
  struct Entry {
    uint16_t value;  // the leaf's byte value, or the node to walk on from
    uint8_t length;  // bits used: the code's length, or kLookupBits for kDeeper
    uint8_t kind;
  };

  // Builds the table of `tree`, which must have an internal root. `order` and
  // `left_bit` say how a path is laid out in the stream, as for assignCodes:
  // with kFirstStepLowest the index is the next bits with the first lowest,
  // with kFirstStepHighest the first is bit kLookupBits - 1 of the index.
  void build(const CodeTree& tree, CodeOrder order, int left_bit);

  const Entry& operator[](uint32_t index) const { return entries_[index]; }

 private:
  std::array<Entry, 1u << kLookupBits> entries_;
};

}  // namespace vl
