// Exact conversions between the UTF-16 names that file lists store and the
// UTF-8 paths the operating system uses here.
//
// Neither direction ever replaces or drops anything: input that has no exact
// counterpart in the other form gives no result, so a name is refused rather
// than silently changed into another file's name.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/byte_buffer.h"
#include "model/wiping_allocator.h"

namespace vl {

// UTF-8 to UTF-16 (surrogate pairs above U+FFFF). Nothing when `text` is not
// well-formed UTF-8: a cut-off or overlong sequence, a stray continuation
// byte, an encoded surrogate (U+D800..U+DFFF) or a value above U+10FFFF.
std::optional<WipedU16String> utf8ToUtf16(std::string_view text);

// UTF-16 to UTF-8. Nothing when `text` holds a surrogate that is not part of
// a high-low pair.
std::optional<std::string> utf16ToUtf8(std::u16string_view text);

// Appends each code unit as two bytes, high byte first: the form in which
// lists store names and in which names are hashed for lookups.
void appendUtf16HighFirst(ByteBuffer& out, std::u16string_view text);

}  // namespace vl
