#include "crypto/sha256.h"

#include <cstring>

#include "core/secure_wipe.h"
#include "crypto/cpu_features.h"
#include "crypto/progress_tally.h"
#include "crypto/sha256_blocks.h"

namespace vl {
namespace sha256_internal {
namespace {

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t loadBigEndian(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

}  // namespace

void compressPortable(uint32_t state[8], const uint8_t* data, size_t blocks) {
  uint32_t w[64];
  for (; blocks > 0; --blocks, data += 64) {
    for (int i = 0; i < 16; ++i) w[i] = loadBigEndian(data + 4 * i);
    for (int i = 16; i < 64; ++i) {
      uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
      uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) +
                    kRoundConstants[i] + w[i];
      uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    addWorkingVariables(state, a, b, c, d, e, f, g, h);
  }
  // The schedule is derived from message bytes, which may be secret.
  secureWipe(w, sizeof w);
}

}  // namespace sha256_internal

namespace {

constexpr uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

void compressBlocks(uint32_t state[8], const uint8_t* data, size_t blocks) {
  switch (sha256Path()) {
    case Sha256Path::kShaInstructions:
      sha256_internal::compressHardware(state, data, blocks);
      break;
    case Sha256Path::kAvx2:
      sha256_internal::compressAvx2(state, data, blocks);
      break;
    case Sha256Path::kPortable:
      sha256_internal::compressPortable(state, data, blocks);
      break;
  }
}

}  // namespace

Sha256::Sha256() { reset(); }

Sha256::~Sha256() {
  secureWipe(state_, sizeof state_);
  secureWipe(block_, sizeof block_);
}

void Sha256::reset() {
  byte_count_ = 0;
  std::memcpy(state_, kInitialState, sizeof state_);
  secureWipe(block_, sizeof block_);
  finished_ = 0;
}

bool Sha256::compress(const uint8_t* data, size_t blocks) {
  if (progress_ == nullptr) {
    compressBlocks(state_, data, blocks);
    return true;
  }
  // Eight blocks at a time, the AVX2 code's width; the cancel flag is still
  // looked at before every block.
  constexpr size_t kGroup = 8;
  ProgressTally tally(progress_);
  for (size_t i = 0; i < blocks; i += kGroup) {
    size_t count = blocks - i < kGroup ? blocks - i : kGroup;
    for (size_t k = 0; k < count; ++k) {
      if (!tally.step(kBlockSize)) return false;
    }
    compressBlocks(state_, data + i * kBlockSize, count);
  }
  return true;
}

bool Sha256::update(const void* bytes, size_t length) {
  if (finished_) reset();
  if (length == 0) return true;
  const auto* input = static_cast<const uint8_t*>(bytes);
  size_t filled = static_cast<size_t>(byte_count_ % kBlockSize);
  size_t rest = length;
  if (filled > 0) {
    size_t take = kBlockSize - filled < rest ? kBlockSize - filled : rest;
    std::memcpy(block_ + filled, input, take);
    input += take;
    rest -= take;
    filled += take;
    if (filled == kBlockSize) {
      if (!compress(block_, 1)) {
        reset();
        return false;
      }
      filled = 0;
    }
  }
  if (rest >= kBlockSize) {
    size_t blocks = rest / kBlockSize;
    if (!compress(input, blocks)) {
      reset();
      return false;
    }
    input += blocks * kBlockSize;
    rest -= blocks * kBlockSize;
  }
  if (rest > 0) std::memcpy(block_ + filled, input, rest);
  byte_count_ += length;
  return true;
}

void Sha256::final(uint8_t digest[kDigestSize]) {
  if (!finished_) {
    size_t filled = static_cast<size_t>(byte_count_ % kBlockSize);
    block_[filled++] = 0x80;
    if (filled > kBlockSize - 8) {
      std::memset(block_ + filled, 0, kBlockSize - filled);
      compressBlocks(state_, block_, 1);
      filled = 0;
    }
    std::memset(block_ + filled, 0, kBlockSize - 8 - filled);
    uint64_t bits = byte_count_ * 8;
    for (int i = 0; i < 8; ++i) block_[kBlockSize - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
    compressBlocks(state_, block_, 1);
    secureWipe(block_, sizeof block_);
    finished_ = 1;
  }
  for (int i = 0; i < 8; ++i) {
    digest[4 * i] = static_cast<uint8_t>(state_[i] >> 24);
    digest[4 * i + 1] = static_cast<uint8_t>(state_[i] >> 16);
    digest[4 * i + 2] = static_cast<uint8_t>(state_[i] >> 8);
    digest[4 * i + 3] = static_cast<uint8_t>(state_[i]);
  }
}

ByteBuffer Sha256::final() {
  ByteBuffer digest(kDigestSize);
  final(digest.data());
  return digest;
}

ByteBuffer sha256(std::span<const uint8_t> bytes) {
  Sha256 context;
  context.update(bytes);
  return context.final();
}

}  // namespace vl
