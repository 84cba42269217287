// Running the codec's stages on byte vectors in tests.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <span>

#include "codec/codec_limits.h"
#include "core/byte_buffer.h"
#include "sample_data.h"

namespace vl::test {

inline Bytes toBytes(const ByteBuffer& b) { return Bytes(b.data(), b.data() + b.size()); }

// Runs an encoder that must succeed.
template <bool (*encode)(std::span<const uint8_t>, ByteBuffer*)>
Bytes encodeWith(const Bytes& in) {
  ByteBuffer out;
  EXPECT_TRUE(encode(in, &out));
  return toBytes(out);
}

// Runs a decoder; a failure must leave its output empty.
template <bool (*decode)(std::span<const uint8_t>, ByteBuffer*, uint32_t)>
std::optional<Bytes> decodeWith(const Bytes& in, uint32_t limit = kMaxDecodedLength) {
  ByteBuffer out;
  if (!decode(in, &out, limit)) {
    EXPECT_TRUE(out.empty());
    return std::nullopt;
  }
  return toBytes(out);
}

}  // namespace vl::test
