// StrictReader: takes little-endian integers and counted fields, in order,
// from bytes that came from outside the program (the network, a file that may
// be damaged or forged).
//
// Unlike ByteBuffer's reads, nothing is ever made up: a read that needs more
// bytes than remain returns false, fills nothing and leaves the position
// where it was, so a caller cannot mistake a short message for one holding
// zeros. A message that must hold nothing more ends with atEnd().
//
// The reader only looks at the bytes; they must outlive it, and so must the
// spans it hands out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vl {

class StrictReader {
 public:
  explicit StrictReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  [[nodiscard]] bool readU8(uint8_t* value);
  [[nodiscard]] bool readU16(uint16_t* value);
  [[nodiscard]] bool readU32(uint32_t* value);
  // A 64-bit value sent as two u32 halves, high half first.
  [[nodiscard]] bool readU64HighFirst(uint64_t* value);
  // Exactly `length` bytes, as a view into the input.
  [[nodiscard]] bool readBytes(size_t length, std::span<const uint8_t>* out);
  // A field: a u32 count, then that many bytes. When the bytes are not all
  // there the count is not taken either.
  [[nodiscard]] bool readCounted(std::span<const uint8_t>* out);
  // Moves past `length` bytes; false (not moved) when fewer remain.
  [[nodiscard]] bool skip(size_t length);

  size_t remaining() const { return bytes_.size() - position_; }
  // Nothing remains: a message that was read whole.
  bool atEnd() const { return position_ == bytes_.size(); }
  size_t position() const { return position_; }

 private:
  std::span<const uint8_t> bytes_;
  size_t position_ = 0;
};

}  // namespace vl
