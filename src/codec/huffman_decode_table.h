// HuffmanDecodeTable: decodes a code by one lookup instead of a walk.
//
// The table is indexed by the next kLookupBits bits of the stream. An entry
// names the leaf whose code those bits begin with and the code's length, or,
// for codes longer than the lookup, the internal node reached after
// kLookupBits steps (the decoder walks on from there bit by bit), or a dead
// end: a step to a child that does not exist (only the count-table coder's
// wrapper root lacks a child). Decoding with the table gives exactly the
// result of walking the tree.
//
// A second table, indexed the same way, holds up to two whole codes per
// entry, so that the hot loop of a decoder takes two short codes with one
// lookup and writes both bytes without a branch.
#pragma once

#include <array>
#include <cstdint>

#include "codec/code_tree.h"

namespace vl {

class HuffmanDecodeTable {
 public:
  static constexpr int kLookupBits = 11;
  static constexpr uint32_t kLookupMask = (1u << kLookupBits) - 1;
  // Lookups one 64-bit load serves: a load at any bit offset holds 57 bits.
  static constexpr int kLookupsPerLoad = 57 / kLookupBits;

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

  // A pair entry: bits 0-7 the first byte, 8-15 the second (meaningful only
  // when two codes are held), 16-23 the bits both codes use, 24-31 how many
  // codes are held: 0 when the first code is not a plain leaf of at most
  // kLookupBits bits (use operator[] then), else 1 or 2.
  uint32_t pair(uint32_t index) const { return pairs_[index]; }
  static uint32_t pairCount(uint32_t pair) { return pair >> 24; }
  static uint32_t pairLength(uint32_t pair) { return (pair >> 16) & 0xff; }

 private:
  void buildPairs(bool first_lowest);

  std::array<Entry, 1u << kLookupBits> entries_;
  std::array<uint32_t, 1u << kLookupBits> pairs_;
};

}  // namespace vl
