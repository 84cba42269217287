// ByteBuffer: the growable byte string used for every file, record and message.
//
// Integers are appended and read little-endian. Reads use and advance a read
// position; a read that would pass the end yields 0 (or an empty buffer) and,
// for fixed-width integers, still advances by the integer's width. Memory is
// overwritten with zeros before it is released or replaced, so secrets and
// plain file data never linger on the heap.
//
// A buffer file is a u32 length followed by that many bytes, moved in pieces
// of 102 400 bytes; lengths above 1 073 741 824 are refused. Saving goes to a
// temporary file that replaces the target only once it is complete on disk,
// so a reader sees the old file or the new one, never half of one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/progress_counter.h"

namespace vl {

class ByteBuffer {
 public:
  static constexpr uint32_t kFilePiece = 102400;
  static constexpr uint32_t kMaxFileLength = 0x40000000;

  ByteBuffer() = default;
  // `length` zero bytes.
  explicit ByteBuffer(size_t length);
  ByteBuffer(const void* data, size_t length);
  explicit ByteBuffer(std::span<const uint8_t> bytes);
  explicit ByteBuffer(std::string_view text);
  ByteBuffer(const ByteBuffer& other);
  ByteBuffer& operator=(const ByteBuffer& other);
  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ~ByteBuffer();

  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  uint32_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::span<const uint8_t> span() const { return {data_, size_}; }
  std::span<uint8_t> mutableSpan() { return {data_, size_}; }
  uint8_t& operator[](size_t i) { return data_[i]; }
  uint8_t operator[](size_t i) const { return data_[i]; }
  bool operator==(const ByteBuffer& other) const;

  // Wipes and releases the contents; resets the read position.
  void clear();
  // Grows (new bytes are zero) or shrinks (dropped bytes are wiped). Bytes
  // past the size are kept zero; nothing may write there through data().
  void resize(size_t length);
  // Makes room for `capacity` bytes without changing the contents.
  void reserve(size_t capacity);

  void appendU8(uint8_t value);
  void appendU16(uint16_t value);
  void appendU32(uint32_t value);
  // Two u32 halves, high half first, as 64-bit values are kept in state files.
  void appendU64HighFirst(uint64_t value);
  void appendBytes(const void* bytes, size_t length);
  void appendBytes(std::span<const uint8_t> bytes) { appendBytes(bytes.data(), bytes.size()); }
  void appendBytes(const ByteBuffer& other) { appendBytes(other.data_, other.size_); }
  // A field: u32 length, then the bytes.
  void appendCounted(const void* bytes, size_t length);
  void appendCounted(const ByteBuffer& other) { appendCounted(other.data_, other.size_); }

  uint8_t readU8();
  uint16_t readU16();
  uint32_t readU32();
  uint64_t readU64HighFirst();
  // Reads a field. A zero length gives an empty result. A field cut short by
  // the end gives what remains; if nothing remains the position goes back to
  // where the length began and the result is empty.
  ByteBuffer readCounted();
  // Copies exactly `length` bytes to `out` and advances; false (position
  // unchanged) when fewer remain.
  bool readBytes(void* out, size_t length);

  uint32_t readPosition() const { return position_; }
  void setReadPosition(uint32_t position) { position_ = position; }
  uint32_t remaining() const { return position_ < size_ ? size_ - position_ : 0; }
  // The byte at an absolute index, 0 past the end.
  uint8_t peek(uint32_t index) const { return index < size_ ? data_[index] : 0; }

  void setProgress(ProgressCounter* progress) { progress_ = progress; }
  ProgressCounter* progress() const { return progress_; }
  bool writeFailed() const { return write_failed_ != 0; }

  // Writes the buffer file. False on a short write (write failed is set) or a
  // cancel; in both cases the file that was there before is left untouched.
  bool saveToFile(const std::string& path);
  // Reads a buffer file. False on a missing file, a refused length, a short
  // read or a cancel; the buffer is then unchanged.
  bool loadFromFile(const std::string& path);

 private:
  void grow(size_t needed);
  void release();

  uint8_t* data_ = nullptr;
  uint32_t size_ = 0;
  uint32_t capacity_ = 0;
  uint32_t position_ = 0;
  uint8_t write_failed_ = 0;
  ProgressCounter* progress_ = nullptr;
};

}  // namespace vl
