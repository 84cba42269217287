#include "core/byte_buffer.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "core/secure_wipe.h"
#include "platform/atomic_file.h"

namespace vl {

ByteBuffer::ByteBuffer(size_t length) { resize(length); }

ByteBuffer::ByteBuffer(const void* data, size_t length) { appendBytes(data, length); }

ByteBuffer::ByteBuffer(std::span<const uint8_t> bytes) { appendBytes(bytes.data(), bytes.size()); }

ByteBuffer::ByteBuffer(std::string_view text) { appendBytes(text.data(), text.size()); }

ByteBuffer::ByteBuffer(const ByteBuffer& other) : ByteBuffer(other.data_, other.size_) {
  position_ = other.position_;
  progress_ = other.progress_;
}

ByteBuffer& ByteBuffer::operator=(const ByteBuffer& other) {
  if (this != &other) {
    clear();
    appendBytes(other.data_, other.size_);
    position_ = other.position_;
    progress_ = other.progress_;
  }
  return *this;
}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      position_(std::exchange(other.position_, 0)),
      write_failed_(other.write_failed_),
      progress_(other.progress_) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    position_ = std::exchange(other.position_, 0);
    write_failed_ = other.write_failed_;
    progress_ = other.progress_;
  }
  return *this;
}

ByteBuffer::~ByteBuffer() { release(); }

bool ByteBuffer::operator==(const ByteBuffer& other) const {
  return size_ == other.size_ && (size_ == 0 || std::memcmp(data_, other.data_, size_) == 0);
}

void ByteBuffer::release() {
  if (data_ != nullptr) {
    secureWipe(data_, capacity_);
    std::free(data_);
  }
  data_ = nullptr;
  size_ = 0;
  capacity_ = 0;
}

void ByteBuffer::clear() {
  release();
  position_ = 0;
}

void ByteBuffer::grow(size_t needed) {
  if (needed <= capacity_) return;
  if (needed > UINT32_MAX) std::abort();  // sizes are u32 throughout the formats
  size_t capacity = capacity_ < 64 ? 64 : capacity_;
  while (capacity < needed) capacity = capacity * 2;
  if (capacity > UINT32_MAX) capacity = UINT32_MAX;
  auto* fresh = static_cast<uint8_t*>(std::malloc(capacity));
  if (fresh == nullptr) std::abort();
  if (size_ > 0) std::memcpy(fresh, data_, size_);
  std::memset(fresh + size_, 0, capacity - size_);
  uint32_t size = size_;
  release();
  data_ = fresh;
  size_ = size;
  capacity_ = static_cast<uint32_t>(capacity);
}

void ByteBuffer::reserve(size_t capacity) { grow(capacity); }

void ByteBuffer::resize(size_t length) {
  if (length > size_) {
    // The bytes past the size are zero already: grow zeroes fresh memory and
    // every shrink wipes what it drops, so a section-sized buffer is not
    // cleared twice.
    grow(length);
    assert(std::all_of(data_ + size_, data_ + length, [](uint8_t b) { return b == 0; }));
  } else if (data_ != nullptr) {
    secureWipe(data_ + length, size_ - length);
  }
  size_ = static_cast<uint32_t>(length);
}

void ByteBuffer::appendU8(uint8_t value) { appendBytes(&value, 1); }

void ByteBuffer::appendU16(uint16_t value) {
  uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
  appendBytes(bytes, 2);
}

void ByteBuffer::appendU32(uint32_t value) {
  uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                      static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  appendBytes(bytes, 4);
}

void ByteBuffer::appendU64HighFirst(uint64_t value) {
  appendU32(static_cast<uint32_t>(value >> 32));
  appendU32(static_cast<uint32_t>(value));
}

void ByteBuffer::appendBytes(const void* bytes, size_t length) {
  if (length == 0) return;
  grow(static_cast<size_t>(size_) + length);
  std::memmove(data_ + size_, bytes, length);
  size_ += static_cast<uint32_t>(length);
}

void ByteBuffer::appendCounted(const void* bytes, size_t length) {
  appendU32(static_cast<uint32_t>(length));
  appendBytes(bytes, length);
}

uint8_t ByteBuffer::readU8() {
  uint8_t value = remaining() >= 1 ? data_[position_] : 0;
  position_ += 1;
  return value;
}

uint16_t ByteBuffer::readU16() {
  uint16_t value = 0;
  if (remaining() >= 2) {
    value = static_cast<uint16_t>(data_[position_] | (data_[position_ + 1] << 8));
  }
  position_ += 2;
  return value;
}

uint32_t ByteBuffer::readU32() {
  uint32_t value = 0;
  if (remaining() >= 4) {
    const uint8_t* p = data_ + position_;
    value = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
            (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
  }
  position_ += 4;
  return value;
}

uint64_t ByteBuffer::readU64HighFirst() {
  uint64_t high = readU32();
  return (high << 32) | readU32();
}

ByteBuffer ByteBuffer::readCounted() {
  uint32_t start = position_;
  uint32_t length = readU32();
  if (length == 0) return {};
  uint32_t take = length < remaining() ? length : remaining();
  if (take == 0) {
    position_ = start;
    return {};
  }
  ByteBuffer result(data_ + position_, take);
  position_ += take;
  return result;
}

bool ByteBuffer::readBytes(void* out, size_t length) {
  if (remaining() < length) return false;
  if (length > 0) std::memcpy(out, data_ + position_, length);
  position_ += static_cast<uint32_t>(length);
  return true;
}

bool ByteBuffer::saveToFile(const std::string& path) {
  AtomicFileWriter writer;
  if (!writer.open(path)) {
    write_failed_ = 1;
    return false;
  }
  uint8_t header[4] = {static_cast<uint8_t>(size_), static_cast<uint8_t>(size_ >> 8),
                       static_cast<uint8_t>(size_ >> 16), static_cast<uint8_t>(size_ >> 24)};
  if (!writer.write(header, 4)) {
    write_failed_ = 1;
    return false;
  }
  for (uint32_t done = 0; done < size_;) {
    uint32_t piece = size_ - done < kFilePiece ? size_ - done : kFilePiece;
    if (!writer.write(data_ + done, piece)) {
      write_failed_ = 1;
      return false;
    }
    done += piece;
    if (!countProgress(progress_, piece)) return false;
  }
  if (!writer.commit()) {
    write_failed_ = 1;
    return false;
  }
  return true;
}

bool ByteBuffer::loadFromFile(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  uint8_t header[4];
  bool ok = std::fread(header, 1, 4, file) == 4;
  uint32_t length = ok ? static_cast<uint32_t>(header[0] | (header[1] << 8) | (header[2] << 16) |
                                               (static_cast<uint32_t>(header[3]) << 24))
                       : 0;
  ok = ok && length <= kMaxFileLength;
  ByteBuffer incoming;
  // The buffer grows piece by piece, so a lying length field costs no more
  // memory than the file really holds.
  for (uint32_t done = 0; ok && done < length;) {
    uint32_t piece = length - done < kFilePiece ? length - done : kFilePiece;
    incoming.resize(done + piece);
    ok = std::fread(incoming.data_ + done, 1, piece, file) == piece &&
         countProgress(progress_, piece);
    done += piece;
  }
  std::fclose(file);
  if (!ok) return false;
  ProgressCounter* progress = progress_;
  *this = std::move(incoming);
  progress_ = progress;
  position_ = 0;
  return true;
}

}  // namespace vl
