// ReuseIndex: a hash table from a key to a u32 value, for finding what an
// earlier copy already stored (by name hash, content hash or section hash)
// and for the restore's section bookkeeping (integer keys).
//
// Rules every user relies on:
//   - byte-string keys shorter than 5 bytes are never stored and never found;
//   - equal keys may be inserted more than once, and a lookup gives the value
//     of the most recently inserted one;
//   - a byte-string key never matches an integer key;
//   - key bytes are overwritten with zeros when the table is emptied or
//     destroyed (a referenced key's bytes belong to, and are wiped by, the
//     caller).
// The table grows with its contents, so lookups stay a short chain walk
// however many keys it holds.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/byte_buffer.h"
#include "model/wiping_allocator.h"

namespace vl {

class ReuseIndex {
 public:
  static constexpr uint32_t kDefaultBuckets = 4096;
  static constexpr size_t kMinKeyLength = 5;

  // `bucketCount` is the starting size (rounded up to a power of two).
  explicit ReuseIndex(uint32_t bucketCount = kDefaultBuckets);
  ReuseIndex(const ReuseIndex&) = delete;
  ReuseIndex& operator=(const ReuseIndex&) = delete;
  ReuseIndex(ReuseIndex&&) noexcept = default;
  ReuseIndex& operator=(ReuseIndex&&) noexcept = default;

  // Stores a copy of `key`. A key shorter than kMinKeyLength is not stored;
  // that is not a failure. False only when the table is full (2^32 - 1 keys
  // or 4 GiB of key bytes).
  bool insert(std::span<const uint8_t> key, uint32_t value);
  bool insert(uint32_t key, uint32_t value);
  // The same as inserting `key`, but only a reference to its bytes is kept,
  // for keys that live elsewhere anyway (the hashes of an indexed list): the
  // caller keeps them unchanged for as long as the table holds them.
  bool insertReferenced(std::span<const uint8_t> key, uint32_t value);

  // Room for `keys` more keys holding `keyBytes` more bytes in all, so that
  // filling a table of known size neither copies nor rehashes it.
  void reserve(uint32_t keys, size_t keyBytes);
  // Room for `keys` more referenced keys.
  void reserveReferenced(uint32_t keys);

  std::optional<uint32_t> find(std::span<const uint8_t> key) const;
  std::optional<uint32_t> find(uint32_t key) const;

  // Number of keys stored.
  uint32_t size() const { return static_cast<uint32_t>(nodes_.size()); }
  bool empty() const { return nodes_.empty(); }
  // Removes every key (wiping the key bytes); the table stays usable.
  void clear();

 private:
  static constexpr uint32_t kNone = UINT32_MAX;
  static constexpr uint32_t kIntegerKey = UINT32_MAX;
  // Set in keyLength for a referenced key.
  static constexpr uint32_t kReferenced = 0x80000000u;

  struct Node {
    uint32_t next;
    uint32_t value;
    uint32_t keyOffset;  // into keys_ or references_; the key itself for integer keys
    uint32_t keyLength;  // kIntegerKey for integer keys; kReferenced | length for referenced
  };

  // The bytes of a byte-string key.
  std::span<const uint8_t> keyOf(const Node& node) const;
  void add(Node node, uint32_t bucket);
  uint32_t bucketOf(std::span<const uint8_t> key) const;
  uint32_t bucketOf(uint32_t key) const;
  void link(uint32_t nodeIndex, uint32_t bucket);
  void growIfCrowded();
  void rehash(size_t bucketCount);

  WipedVector<uint32_t> heads_;
  WipedVector<Node> nodes_;
  ByteBuffer keys_;
  WipedVector<const uint8_t*> references_;
  uint32_t shift_ = 0;  // 64 - log2(bucket count)
};

}  // namespace vl
