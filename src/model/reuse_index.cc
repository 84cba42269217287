#include "model/reuse_index.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace vl {

namespace {

constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;

uint64_t load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// Keys are nearly always SHA-256 values, but nothing enforces it, so every
// byte takes part in the hash.
uint64_t hashBytes(std::span<const uint8_t> key) {
  uint64_t h = key.size() * kMultiplier;
  size_t i = 0;
  for (; i + 8 <= key.size(); i += 8) h = std::rotl((h ^ load64(key.data() + i)) * kMultiplier, 29);
  uint64_t tail = 0;
  for (size_t k = 0; i + k < key.size(); ++k) tail |= uint64_t{key[i + k]} << (8 * k);
  return (h ^ tail) * kMultiplier;
}

}  // namespace

ReuseIndex::ReuseIndex(uint32_t bucketCount) {
  uint32_t buckets = std::bit_ceil(bucketCount < 2 ? 2u : bucketCount);
  heads_.assign(buckets, kNone);
  shift_ = 64 - std::countr_zero(buckets);
}

uint32_t ReuseIndex::bucketOf(std::span<const uint8_t> key) const {
  return static_cast<uint32_t>(hashBytes(key) >> shift_);
}

uint32_t ReuseIndex::bucketOf(uint32_t key) const {
  return static_cast<uint32_t>((uint64_t{key} * kMultiplier) >> shift_);
}

void ReuseIndex::link(uint32_t nodeIndex, uint32_t bucket) {
  // Head insertion: the newest of equal keys is met first.
  nodes_[nodeIndex].next = heads_[bucket];
  heads_[bucket] = nodeIndex;
}

void ReuseIndex::growIfCrowded() {
  if (nodes_.size() >= heads_.size() * 2) rehash(heads_.size() * 2);
}

void ReuseIndex::rehash(size_t bucketCount) {
  if (bucketCount <= heads_.size() || bucketCount > (1u << 30)) return;
  heads_.assign(std::bit_ceil(bucketCount), kNone);
  shift_ = 64 - std::countr_zero(static_cast<uint32_t>(heads_.size()));
  // Relinking in insertion order puts later nodes ahead of earlier ones in
  // every chain, as they were before.
  for (uint32_t i = 0; i < nodes_.size(); ++i) {
    const Node& node = nodes_[i];
    link(i, node.keyLength == kIntegerKey ? bucketOf(node.keyOffset) : bucketOf(keyOf(node)));
  }
}

std::span<const uint8_t> ReuseIndex::keyOf(const Node& node) const {
  if (node.keyLength & kReferenced)
    return {references_[node.keyOffset], node.keyLength & ~kReferenced};
  return keys_.span().subspan(node.keyOffset, node.keyLength);
}

void ReuseIndex::reserve(uint32_t keys, size_t keyBytes) {
  size_t nodes = nodes_.size() + size_t{keys};
  if (nodes >= kNone || keys_.size() + keyBytes > UINT32_MAX) return;
  nodes_.reserve(nodes);
  keys_.reserve(keys_.size() + keyBytes);
  rehash(nodes / 2 + 1);
}

void ReuseIndex::reserveReferenced(uint32_t keys) {
  size_t nodes = nodes_.size() + size_t{keys};
  if (nodes >= kNone || references_.size() + size_t{keys} >= kNone) return;
  nodes_.reserve(nodes);
  references_.reserve(references_.size() + keys);
  rehash(nodes / 2 + 1);
}

void ReuseIndex::add(Node node, uint32_t bucket) {
  nodes_.push_back(node);
  link(static_cast<uint32_t>(nodes_.size() - 1), bucket);
  growIfCrowded();
}

bool ReuseIndex::insert(std::span<const uint8_t> key, uint32_t value) {
  if (key.size() < kMinKeyLength) return true;
  if (nodes_.size() >= kNone - 1 || key.size() >= kReferenced ||
      uint64_t{keys_.size()} + key.size() > UINT32_MAX) {
    return false;
  }
  uint32_t offset = keys_.size();
  keys_.appendBytes(key);
  add(Node{kNone, value, offset, static_cast<uint32_t>(key.size())}, bucketOf(key));
  return true;
}

bool ReuseIndex::insertReferenced(std::span<const uint8_t> key, uint32_t value) {
  if (key.size() < kMinKeyLength) return true;
  if (nodes_.size() >= kNone - 1 || key.size() >= kReferenced - 1 || references_.size() >= kNone) {
    return false;
  }
  uint32_t slot = static_cast<uint32_t>(references_.size());
  references_.push_back(key.data());
  add(Node{kNone, value, slot, kReferenced | static_cast<uint32_t>(key.size())}, bucketOf(key));
  return true;
}

bool ReuseIndex::insert(uint32_t key, uint32_t value) {
  if (nodes_.size() >= kNone - 1) return false;
  add(Node{kNone, value, key, kIntegerKey}, bucketOf(key));
  return true;
}

std::optional<uint32_t> ReuseIndex::find(std::span<const uint8_t> key) const {
  if (key.size() < kMinKeyLength || nodes_.empty()) return std::nullopt;
  for (uint32_t i = heads_[bucketOf(key)]; i != kNone; i = nodes_[i].next) {
    const Node& node = nodes_[i];
    if (node.keyLength == kIntegerKey || (node.keyLength & ~kReferenced) != key.size()) continue;
    if (std::memcmp(keyOf(node).data(), key.data(), key.size()) == 0) return node.value;
  }
  return std::nullopt;
}

std::optional<uint32_t> ReuseIndex::find(uint32_t key) const {
  if (nodes_.empty()) return std::nullopt;
  for (uint32_t i = heads_[bucketOf(key)]; i != kNone; i = nodes_[i].next) {
    const Node& node = nodes_[i];
    if (node.keyLength == kIntegerKey && node.keyOffset == key) return node.value;
  }
  return std::nullopt;
}

void ReuseIndex::clear() {
  keys_.clear();
  WipedVector<const uint8_t*>().swap(references_);
  WipedVector<Node>().swap(nodes_);
  std::fill(heads_.begin(), heads_.end(), kNone);
}

}  // namespace vl
