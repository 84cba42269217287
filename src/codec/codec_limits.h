// Limits shared by the codec's decoders.
#pragma once

#include <cstdint>

namespace vl {

// Default ceiling on what a decoder produces. A stream states its own decoded
// length, and a few bytes can claim gigabytes (a one-symbol tree-coded stream
// reads no code bits at all), so every decoder refuses, before allocating,
// any output above the ceiling its caller passes. Nothing larger than this
// default can be kept in a buffer file anyway.
inline constexpr uint32_t kMaxDecodedLength = 0x40000000;

}  // namespace vl
