// Hex text for keys, IVs, digests and tags on vltool's command line.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/byte_buffer.h"

namespace vltool {

// Parses pairs of hex digits (either case) into bytes. False, with `out`
// emptied, for an odd number of digits or any other character.
bool parseHex(std::string_view text, vl::ByteBuffer* out);

// Lower-case hex, two digits per byte.
std::string toHex(std::span<const uint8_t> bytes);
inline std::string toHex(const vl::ByteBuffer& bytes) { return toHex(bytes.span()); }

}  // namespace vltool
