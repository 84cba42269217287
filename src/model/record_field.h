// readRecordField: the field reader of stored records.
//
// A field is a u32 little-endian byte count followed by that many bytes.
// Records are read strictly: a field that runs past the record's end is a
// damaged record, never a shorter field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace vl {

// The field that starts at `position` (at most record.size()) and lies wholly
// inside `record`; `position` then stands just past it. Nothing when the
// count or the bytes run past the end; `position` is then not to be used.
std::optional<std::span<const uint8_t>> readRecordField(std::span<const uint8_t> record,
                                                        size_t& position);

}  // namespace vl
