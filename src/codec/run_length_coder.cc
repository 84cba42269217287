#include "codec/run_length_coder.h"

#include <algorithm>
#include <cstring>

#include "codec/bit_io.h"

namespace vl {

namespace {

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;
constexpr size_t kMaxRun = 259;
constexpr size_t kMinRun = 4;

// High bit set in each byte of `v` that is zero. Bytes above a zero byte may
// be flagged falsely, but the lowest flag is always exact.
inline uint64_t zeroBytes(uint64_t v) { return (v - kOnes) & ~v & kHighs; }

// Length of the run of `value` at `p`, at most `limit` bytes.
size_t runLength(const uint8_t* p, size_t limit, uint8_t value) {
  const uint64_t splat = kOnes * value;
  size_t length = 0;
  while (length + 8 <= limit) {
    uint64_t differ = loadLittle64(p + length) ^ splat;
    if (differ != 0) return length + (static_cast<size_t>(__builtin_ctzll(differ)) >> 3);
    length += 8;
  }
  while (length < limit && p[length] == value) ++length;
  return length;
}

// Walks a run-length stream, handing each stretch of literals and each run
// to the visitor; false when the stream ends inside an escape sequence.
template <typename OnLiterals, typename OnRun>
bool walkStream(std::span<const uint8_t> in, OnLiterals on_literals, OnRun on_run) {
  const uint8_t* p = in.data();
  const size_t n = in.size();
  const uint8_t escape = p[0];
  size_t i = 1;
  while (i < n) {
    const void* hit = std::memchr(p + i, escape, n - i);
    size_t next = hit == nullptr ? n : static_cast<size_t>(static_cast<const uint8_t*>(hit) - p);
    if (next > i) on_literals(p + i, next - i);
    i = next;
    if (i >= n) break;
    if (i + 1 >= n) return false;
    if (p[i + 1] == escape) {
      on_run(escape, 1);
      i += 2;
    } else {
      if (i + 2 >= n) return false;
      on_run(p[i + 1], static_cast<size_t>(p[i + 2]) + kMinRun);
      i += 3;
    }
  }
  return true;
}

}  // namespace

uint8_t RunLengthCoder::escapeFor(const ByteCounts& counts) {
  int escape = 0;
  for (int v = 1; v < 256; ++v) {
    if (counts[v] <= counts[escape]) escape = v;
  }
  return static_cast<uint8_t>(escape);
}

bool RunLengthCoder::encode(std::span<const uint8_t> in, ByteBuffer* out) {
  ByteCounts counts;
  out->clear();
  return encodeCounting(in, out, &counts);
}

bool RunLengthCoder::encodeCounting(std::span<const uint8_t> in, ByteBuffer* out,
                                    ByteCounts* counts) {
  out->resize(0);
  const size_t n = in.size();
  const uint64_t bound = 1 + static_cast<uint64_t>(n) + n / 256;
  constexpr size_t kSlack = 16;  // for the word stores of literal stretches
  if (bound + kSlack > UINT32_MAX) {
    out->clear();
    return false;
  }
  // The result's counts are the input's, changed where escapes and runs are
  // written: literals stand for themselves.
  ByteCounts& c = *counts;
  c = countBytes(in);
  const uint8_t escape = escapeFor(c);
  c[escape] += 1;
  out->resize(static_cast<size_t>(bound) + kSlack);

  const uint8_t* p = in.data();
  uint8_t* o = out->data();
  *o++ = escape;
  const uint64_t escapes = kOnes * escape;
  size_t i = 0;
  while (true) {
    // Literal stretches eight bytes at a time: stop at the first byte that
    // is the escape or starts a run of four.
    while (i + 11 <= n) {
      uint64_t x = loadLittle64(p + i);
      uint64_t run4 = (x ^ loadLittle64(p + i + 1)) | (x ^ loadLittle64(p + i + 2)) |
                      (x ^ loadLittle64(p + i + 3));
      uint64_t stop = zeroBytes(run4) | zeroBytes(x ^ escapes);
      storeLittle64(o, x);
      if (stop == 0) {
        o += 8;
        i += 8;
        continue;
      }
      size_t k = static_cast<size_t>(__builtin_ctzll(stop)) >> 3;
      o += k;
      i += k;
      break;
    }
    if (i >= n) break;
    const uint8_t value = p[i];
    if (value == escape) {
      o[0] = escape;
      o[1] = escape;
      o += 2;
      i += 1;
      c[escape] += 1;
      continue;
    }
    size_t length = runLength(p + i, std::min(kMaxRun, n - i), value);
    if (length >= kMinRun) {
      o[0] = escape;
      o[1] = value;
      o[2] = static_cast<uint8_t>(length - kMinRun);
      o += 3;
      i += length;
      c[value] -= static_cast<uint32_t>(length - 1);
      c[escape] += 1;
      c[length - kMinRun] += 1;
    } else {
      *o++ = value;
      i += 1;
    }
  }
  out->resize(static_cast<size_t>(o - out->data()));
  return true;
}

bool RunLengthCoder::decode(std::span<const uint8_t> in, ByteBuffer* out, uint32_t max_output) {
  out->clear();
  if (in.empty()) return false;
  // First pass: check the stream and size the output, so that nothing is
  // allocated for a stream that fails or claims too much.
  uint64_t total = 0;
  bool complete = walkStream(
      in, [&](const uint8_t*, size_t length) { total += length; },
      [&](uint8_t, size_t count) { total += count; });
  if (!complete || total > max_output) return false;
  out->resize(static_cast<size_t>(total));
  uint8_t* o = out->data();
  walkStream(
      in,
      [&](const uint8_t* literals, size_t length) {
        std::memcpy(o, literals, length);
        o += length;
      },
      [&](uint8_t value, size_t count) {
        std::memset(o, value, count);
        o += count;
      });
  return true;
}

}  // namespace vl
