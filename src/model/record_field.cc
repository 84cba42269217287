#include "model/record_field.h"

namespace vl {

std::optional<std::span<const uint8_t>> readRecordField(std::span<const uint8_t> record,
                                                        size_t& position) {
  if (record.size() - position < 4) return std::nullopt;
  const uint8_t* p = record.data() + position;
  uint32_t length = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                    (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
  position += 4;
  if (record.size() - position < length) return std::nullopt;
  std::span<const uint8_t> field = record.subspan(position, length);
  position += length;
  return field;
}

}  // namespace vl
