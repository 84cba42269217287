// Word-at-a-time bit writers and readers for the Huffman streams.
//
// The tree-coded stream fills each byte from its least significant bit up;
// the count-table stream from its most significant bit down. Writers keep up
// to 63 pending bits in a register and store whole 64-bit words, advancing by
// the completed bytes only, so their output area needs 8 bytes of slack past
// the last byte written. Readers peek 64 bits at any bit position; bits past
// the end of the input read as 0, and the callers check positions against
// the real end themselves.
#pragma once

#include <cstdint>
#include <cstring>

namespace vl {

inline uint64_t loadLittle64(const uint8_t* p) {
  uint64_t word;
  std::memcpy(&word, p, 8);
  if constexpr (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) word = __builtin_bswap64(word);
  return word;
}

inline void storeLittle64(uint8_t* p, uint64_t word) {
  if constexpr (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) word = __builtin_bswap64(word);
  std::memcpy(p, &word, 8);
}

inline uint64_t loadBig64(const uint8_t* p) {
  uint64_t word;
  std::memcpy(&word, p, 8);
  if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) word = __builtin_bswap64(word);
  return word;
}

inline void storeBig64(uint8_t* p, uint64_t word) {
  if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) word = __builtin_bswap64(word);
  std::memcpy(p, &word, 8);
}

// Least-significant-bit-first writer.
class LsbBitWriter {
 public:
  explicit LsbBitWriter(uint8_t* out) : out_(out) {}

  // Appends the low `length` bits of `bits` (length + pending() <= 64). Call
  // flush() before pending bits could exceed 64.
  void put(uint64_t bits, int length) {
    pending_ |= bits << count_;
    count_ += length;
  }
  // Stores the completed bytes; at most 7 bits stay pending.
  void flush() {
    storeLittle64(out_, pending_);
    out_ += count_ >> 3;
    int stored = count_ & ~7;
    pending_ = stored == 64 ? 0 : pending_ >> stored;
    count_ &= 7;
  }
  // Stores everything, the last byte padded with 0 bits; returns the end.
  uint8_t* finish() {
    flush();
    if (count_ > 0) {
      *out_++ = static_cast<uint8_t>(pending_);
      pending_ = 0;
      count_ = 0;
    }
    return out_;
  }
  int pending() const { return count_; }

 private:
  uint8_t* out_;
  uint64_t pending_ = 0;
  int count_ = 0;
};

// Most-significant-bit-first writer; `bits` hold the first bit highest.
class MsbBitWriter {
 public:
  explicit MsbBitWriter(uint8_t* out) : out_(out) {}

  // Appends the low `length` bits of `bits`, highest first
  // (1 <= length, length + pending() <= 64).
  void put(uint64_t bits, int length) {
    count_ += length;
    pending_ |= bits << (64 - count_);
  }
  void flush() {
    storeBig64(out_, pending_);
    out_ += count_ >> 3;
    int stored = count_ & ~7;
    pending_ = stored == 64 ? 0 : pending_ << stored;
    count_ &= 7;
  }
  uint8_t* finish() {
    flush();
    if (count_ > 0) {
      *out_++ = static_cast<uint8_t>(pending_ >> 56);
      pending_ = 0;
      count_ = 0;
    }
    return out_;
  }
  int pending() const { return count_; }

 private:
  uint8_t* out_;
  uint64_t pending_ = 0;
  int count_ = 0;
};

// The 64 bits of `in` (length `size`) from bit `position` on, bit `position`
// lowest. Bits past the end are 0.
inline uint64_t peekLsb(const uint8_t* in, size_t size, uint64_t position) {
  size_t byte = static_cast<size_t>(position >> 3);
  int shift = static_cast<int>(position & 7);
  if (byte + 8 <= size) {
    uint64_t low = loadLittle64(in + byte) >> shift;
    if (shift == 0 || byte + 8 >= size) return low;
    return low | (static_cast<uint64_t>(in[byte + 8]) << (64 - shift));
  }
  uint64_t word = 0;
  for (size_t i = 0; byte + i < size && i < 8; ++i)
    word |= static_cast<uint64_t>(in[byte + i]) << (8 * i);
  return word >> shift;
}

// The 64 bits of `in` from bit `position` on, bit `position` highest (bit k
// of the stream is bit 7 - k % 8 of byte k / 8). Bits past the end are 0.
inline uint64_t peekMsb(const uint8_t* in, size_t size, uint64_t position) {
  size_t byte = static_cast<size_t>(position >> 3);
  int shift = static_cast<int>(position & 7);
  if (byte + 8 <= size) {
    uint64_t high = loadBig64(in + byte) << shift;
    if (shift == 0 || byte + 8 >= size) return high;
    return high | (static_cast<uint64_t>(in[byte + 8]) >> (8 - shift));
  }
  uint64_t word = 0;
  for (size_t i = 0; byte + i < size && i < 8; ++i)
    word |= static_cast<uint64_t>(in[byte + i]) << (56 - 8 * i);
  return word << shift;
}

}  // namespace vl
