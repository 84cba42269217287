// The decoders written out step by step, one bit at a time, exactly as the
// stream rules read. The codec's own decoders use lookup tables and word
// loads; the tests check that both accept and reject the same streams and
// produce the same bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "codec/code_tree.h"

namespace vl::test {

using Bytes = std::vector<uint8_t>;

struct LiteralTree {
  struct Node {
    int left = -1;
    int right = -1;
    int symbol = -1;  // -1 for internal nodes
  };
  std::vector<Node> nodes;
  int root = -1;
};

// Tree-coded stream; nullopt on failure.
inline std::optional<Bytes> literalTreeDecode(const Bytes& in, uint64_t max_output) {
  const uint64_t total = in.size() * 8ull;
  uint64_t pos = 0;
  auto bit = [&](uint64_t k) { return (in[k / 8] >> (k % 8)) & 1; };
  if (in.empty()) return std::nullopt;
  int w = in[0] & 3;
  if (in.size() < static_cast<size_t>(w) + 2) return std::nullopt;
  pos = 2;
  uint64_t n = 0;
  for (int k = 0; k < 8 * (w + 1); ++k) n |= static_cast<uint64_t>(bit(pos++)) << k;

  LiteralTree tree;
  int leaves = 0;
  bool failed = false;
  // Recursion is fine here: the tests only feed short streams.
  auto parse = [&](auto&& self, int depth) -> int {
    if (failed || pos >= total || depth > 300) {
      failed = true;
      return -1;
    }
    int id = static_cast<int>(tree.nodes.size());
    tree.nodes.push_back({});
    if (bit(pos++) == 1) {
      if (pos + 8 > total || ++leaves > 256) {
        failed = true;
        return -1;
      }
      int v = 0;
      for (int k = 0; k < 8; ++k) v |= bit(pos++) << k;
      tree.nodes[id].symbol = v;
      return id;
    }
    int left = self(self, depth + 1);
    int right = self(self, depth + 1);
    tree.nodes[id].left = left;
    tree.nodes[id].right = right;
    return id;
  };
  tree.root = parse(parse, 0);
  if (failed || n > max_output) return std::nullopt;
  Bytes out;
  for (uint64_t i = 0; i < n; ++i) {
    int node = tree.root;
    while (tree.nodes[node].symbol < 0) {
      if (pos >= total) return std::nullopt;
      node = bit(pos++) == 0 ? tree.nodes[node].left : tree.nodes[node].right;
    }
    out.push_back(static_cast<uint8_t>(tree.nodes[node].symbol));
  }
  return out;
}

// The tree builder with a real linked list, element by element.
inline LiteralTree literalBuildTree(const ByteCounts& counts) {
  struct Element {
    int node;
    uint32_t weight;
  };
  LiteralTree tree;
  std::vector<Element> list;
  for (int v = 0; v < 256; ++v) {
    if (counts[v] == 0) continue;
    tree.nodes.push_back({-1, -1, v});
    Element e{static_cast<int>(tree.nodes.size()) - 1, counts[v]};
    auto at = list.begin();
    while (at != list.end() && at->weight < e.weight) ++at;
    list.insert(at, e);
  }
  while (list.size() >= 2) {
    Element x = list[0];
    Element y = list[1];
    list.erase(list.begin(), list.begin() + 2);
    tree.nodes.push_back({x.node, y.node, -1});
    Element n{static_cast<int>(tree.nodes.size()) - 1, x.weight + y.weight};
    if (list.empty()) {
      list.push_back(n);
    } else if (n.weight < list[0].weight) {
      list.insert(list.begin(), n);
    } else {
      auto at = list.begin() + 1;
      while (at != list.end() && at->weight < n.weight) ++at;
      list.insert(at, n);
    }
  }
  if (!list.empty()) tree.root = list[0].node;
  return tree;
}

// Count-table stream; nullopt on failure.
inline std::optional<Bytes> literalTableDecode(const Bytes& in, uint64_t max_output) {
  if (in.size() < 9) return std::nullopt;
  auto u32 = [&](size_t at) {
    return static_cast<uint32_t>(in[at] | in[at + 1] << 8 | in[at + 2] << 16) |
           static_cast<uint32_t>(in[at + 3]) << 24;
  };
  uint32_t b = u32(0);
  uint32_t n = u32(4);
  int w = in[8];
  if (w < 1 || w > 4) return std::nullopt;
  size_t table_end = 9 + 256 * static_cast<size_t>(w);
  if (in.size() < table_end || in.size() - table_end < (b + 7ull) / 8) return std::nullopt;
  if (n > max_output) return std::nullopt;
  ByteCounts counts{};
  for (int v = 0; v < 256; ++v) {
    for (int k = 0; k < w; ++k) counts[v] |= static_cast<uint32_t>(in[9 + v * w + k]) << (8 * k);
  }
  LiteralTree tree = literalBuildTree(counts);
  if (tree.root < 0) return std::nullopt;
  if (tree.nodes[tree.root].symbol >= 0) {
    tree.nodes.push_back({tree.root, -1, -1});
    tree.root = static_cast<int>(tree.nodes.size()) - 1;
  }
  auto bit = [&](uint64_t k) { return (in[table_end + k / 8] >> (7 - k % 8)) & 1; };
  Bytes out;
  int node = tree.root;
  uint64_t consumed = 0;
  while (consumed < b) {
    const auto& here = tree.nodes[node];
    if (here.left >= 0 || here.right >= 0) {
      node = bit(consumed++) == 1 ? here.left : here.right;
      if (node < 0) return std::nullopt;
    } else {
      if (out.size() == n) return std::nullopt;
      out.push_back(static_cast<uint8_t>(here.symbol));
      node = tree.root;
    }
  }
  if (tree.nodes[node].symbol < 0 || out.size() == n) return std::nullopt;
  out.push_back(static_cast<uint8_t>(tree.nodes[node].symbol));
  if (out.size() != n) return std::nullopt;
  return out;
}

}  // namespace vl::test
