#include "codec/code_tree.h"

#include <gtest/gtest.h>

#include <random>

#include "literal_decoders.h"

namespace vl {
namespace {

// Same shape and leaves, node for node.
bool sameTree(const CodeTree& ours, int node, const test::LiteralTree& literal, int other) {
  bool leaf = ours.isLeaf(node);
  const auto& o = literal.nodes[other];
  if (leaf != (o.symbol >= 0)) return false;
  if (leaf) return ours.nodes[node].symbol == o.symbol;
  return sameTree(ours, ours.nodes[node].child[0], literal, o.left) &&
         sameTree(ours, ours.nodes[node].child[1], literal, o.right);
}

CodeTable codesOf(const ByteCounts& counts) {
  CodeTable codes;
  EXPECT_TRUE(assignCodes(buildCodeTree(counts), CodeOrder::kFirstStepLowest, 0, 48, &codes));
  return codes;
}

TEST(CodeTreeTest, EqualWeightsAndMergedNodesFollowTheListOrder) {
  // Values 1 to 4 with counts 1, 1, 2, 2 give the list [2, 1, 4, 3]. Merging
  // 2 and 1 makes a node of weight 2 that goes behind 4 but ahead of 3; then
  // 4 and that node merge into 4, which goes behind 3.
  ByteCounts counts{};
  counts[1] = 1;
  counts[2] = 1;
  counts[3] = 2;
  counts[4] = 2;
  CodeTable codes = codesOf(counts);
  EXPECT_EQ(codes[3].length, 1);
  EXPECT_EQ(codes[3].bits, 0b0u);
  EXPECT_EQ(codes[4].length, 2);
  EXPECT_EQ(codes[4].bits, 0b01u);  // right, then left: first step lowest
  EXPECT_EQ(codes[2].length, 3);
  EXPECT_EQ(codes[2].bits, 0b011u);
  EXPECT_EQ(codes[1].length, 3);
  EXPECT_EQ(codes[1].bits, 0b111u);

  // Two values of equal count: the higher one is the left child.
  ByteCounts pair{};
  pair[0x10] = 5;
  pair[0x20] = 5;
  CodeTree tree = buildCodeTree(pair);
  EXPECT_EQ(tree.nodes[tree.nodes[tree.root].child[0]].symbol, 0x20);
  EXPECT_EQ(tree.nodes[tree.nodes[tree.root].child[1]].symbol, 0x10);
  CodeTable msb;
  ASSERT_TRUE(assignCodes(tree, CodeOrder::kFirstStepHighest, 1, 48, &msb));
  EXPECT_EQ(msb[0x20].bits, 1u);
  EXPECT_EQ(msb[0x10].bits, 0u);
}

TEST(CodeTreeTest, MatchesALinkedListBuilderOnManyCountTables) {
  std::mt19937 rng(42);
  for (int round = 0; round < 3000; ++round) {
    ByteCounts counts{};
    int values = 1 + static_cast<int>(rng() % 256);
    // Small ranges make ties common; large ones exercise wrap-around of the
    // 32-bit weights that only a made-up count table can reach.
    uint32_t range = round % 3 == 0 ? 4 : round % 3 == 1 ? 1000 : 0xffffffffu;
    for (int i = 0; i < values; ++i) counts[rng() % 256] = 1 + rng() % range;
    CodeTree ours = buildCodeTree(counts);
    test::LiteralTree literal = test::literalBuildTree(counts);
    ASSERT_TRUE(sameTree(ours, ours.root, literal, literal.root)) << round;
  }
}

}  // namespace
}  // namespace vl
