#include "core/strict_reader.h"

namespace vl {
namespace {

uint32_t littleEndian(const uint8_t* p, size_t width) {
  uint32_t value = 0;
  for (size_t i = width; i-- > 0;) value = (value << 8) | p[i];
  return value;
}

}  // namespace

bool StrictReader::readU8(uint8_t* value) {
  if (remaining() < 1) return false;
  *value = bytes_[position_];
  position_ += 1;
  return true;
}

bool StrictReader::readU16(uint16_t* value) {
  if (remaining() < 2) return false;
  *value = static_cast<uint16_t>(littleEndian(bytes_.data() + position_, 2));
  position_ += 2;
  return true;
}

bool StrictReader::readU32(uint32_t* value) {
  if (remaining() < 4) return false;
  *value = littleEndian(bytes_.data() + position_, 4);
  position_ += 4;
  return true;
}

bool StrictReader::readU64HighFirst(uint64_t* value) {
  if (remaining() < 8) return false;
  uint32_t high = 0;
  uint32_t low = 0;
  if (!readU32(&high) || !readU32(&low)) return false;
  *value = (uint64_t{high} << 32) | low;
  return true;
}

bool StrictReader::readBytes(size_t length, std::span<const uint8_t>* out) {
  if (remaining() < length) return false;
  *out = bytes_.subspan(position_, length);
  position_ += length;
  return true;
}

bool StrictReader::readCounted(std::span<const uint8_t>* out) {
  const size_t start = position_;
  uint32_t length = 0;
  if (!readU32(&length) || !readBytes(length, out)) {
    position_ = start;
    return false;
  }
  return true;
}

bool StrictReader::skip(size_t length) {
  if (remaining() < length) return false;
  position_ += length;
  return true;
}

}  // namespace vl
