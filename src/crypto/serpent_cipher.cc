#include "crypto/serpent_cipher.h"

#include "core/secure_wipe.h"
#include "crypto/progress_tally.h"

namespace vl {
namespace {

constexpr uint8_t kSboxes[8][16] = {
    {3, 8, 15, 1, 10, 6, 5, 11, 14, 13, 4, 2, 7, 0, 9, 12},
    {15, 12, 2, 7, 9, 0, 5, 10, 1, 11, 14, 8, 6, 13, 3, 4},
    {8, 6, 7, 9, 3, 12, 10, 15, 13, 1, 14, 4, 0, 11, 5, 2},
    {0, 15, 11, 8, 12, 9, 6, 3, 13, 1, 2, 4, 10, 7, 5, 14},
    {1, 15, 8, 3, 12, 0, 11, 6, 2, 5, 4, 10, 9, 14, 7, 13},
    {15, 5, 2, 11, 4, 10, 9, 12, 0, 3, 14, 8, 13, 6, 7, 1},
    {7, 2, 12, 5, 8, 4, 6, 11, 14, 9, 1, 15, 13, 3, 10, 0},
    {1, 13, 15, 0, 14, 8, 2, 11, 7, 4, 12, 10, 9, 3, 5, 6},
};

constexpr uint32_t kPhi = 0x9e3779b9;

inline uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// Bitslice form: bit j of word k is bit k of the j-th 4-bit S-box input.
// Evaluated as a 16-way selection over every input value, so no table is
// indexed by key or data bits.
void applySbox(const uint8_t sbox[16], uint32_t x[4]) {
  uint32_t out[4] = {0, 0, 0, 0};
  for (uint32_t value = 0; value < 16; ++value) {
    uint32_t match = ~0u;
    for (int k = 0; k < 4; ++k) match &= ((value >> k) & 1) ? x[k] : ~x[k];
    for (int k = 0; k < 4; ++k) {
      if ((sbox[value] >> k) & 1) out[k] |= match;
    }
  }
  for (int k = 0; k < 4; ++k) x[k] = out[k];
}

void linearTransform(uint32_t x[4]) {
  x[0] = rotl(x[0], 13);
  x[2] = rotl(x[2], 3);
  x[1] = x[1] ^ x[0] ^ x[2];
  x[3] = x[3] ^ x[2] ^ (x[0] << 3);
  x[1] = rotl(x[1], 1);
  x[3] = rotl(x[3], 7);
  x[0] = x[0] ^ x[1] ^ x[3];
  x[2] = x[2] ^ x[3] ^ (x[1] << 7);
  x[0] = rotl(x[0], 5);
  x[2] = rotl(x[2], 22);
}

inline uint32_t loadLittleEndian(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void storeLittleEndian(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void encryptWords(const uint32_t keys[33][4], uint32_t x[4]) {
  for (int round = 0; round < 32; ++round) {
    for (int k = 0; k < 4; ++k) x[k] ^= keys[round][k];
    applySbox(kSboxes[round % 8], x);
    if (round < 31) {
      linearTransform(x);
    } else {
      for (int k = 0; k < 4; ++k) x[k] ^= keys[32][k];
    }
  }
}

}  // namespace

SerpentCipher::SerpentCipher(std::span<const uint8_t> key) {
  const size_t length = key.size();
  if (length != 16 && length != 24 && length != 32) return;
  // w[0..7] are the prekey words w(-8)..w(-1); the key is one big-endian
  // number, its last four bytes the lowest word.
  uint32_t w[140] = {};
  const size_t words = length / 4;
  for (size_t i = 0; i < words; ++i) {
    const uint8_t* p = key.data() + length - 4 * (i + 1);
    w[i] = (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
  }
  if (words < 8) w[words] = 1;
  for (uint32_t i = 0; i < 132; ++i) {
    w[i + 8] = rotl(w[i] ^ w[i + 3] ^ w[i + 5] ^ w[i + 7] ^ kPhi ^ i, 11);
  }
  for (int j = 0; j < 33; ++j) {
    uint32_t x[4] = {w[8 + 4 * j], w[9 + 4 * j], w[10 + 4 * j], w[11 + 4 * j]};
    applySbox(kSboxes[((3 - j) % 8 + 8) % 8], x);
    for (int k = 0; k < 4; ++k) round_keys_[j][k] = x[k];
    secureWipe(x, sizeof x);
  }
  secureWipe(w, sizeof w);
  valid_ = true;
}

SerpentCipher::~SerpentCipher() { secureWipe(round_keys_, sizeof round_keys_); }

bool SerpentCipher::encryptBlock(uint8_t block[kBlockSize]) const {
  if (!valid_) {
    secureWipe(block, kBlockSize);
    return false;
  }
  uint32_t x[4];
  for (int k = 0; k < 4; ++k) x[k] = loadLittleEndian(block + 4 * k);
  encryptWords(round_keys_, x);
  for (int k = 0; k < 4; ++k) storeLittleEndian(block + 4 * k, x[k]);
  secureWipe(x, sizeof x);
  return true;
}

ByteBuffer SerpentCipher::keystream(uint32_t length) {
  if (!valid_) return {};
  const size_t blocks = (static_cast<size_t>(length) + kBlockSize - 1) / kBlockSize;
  ByteBuffer stream(blocks * kBlockSize);
  ProgressTally tally(progress_);
  for (size_t i = 0; i < blocks; ++i) {
    if (!tally.step(kBlockSize)) return {};
    uint32_t x[4];
    for (int k = 0; k < 4; ++k) x[k] = static_cast<uint32_t>(i);
    encryptWords(round_keys_, x);
    for (int k = 0; k < 4; ++k) storeLittleEndian(stream.data() + i * kBlockSize + 4 * k, x[k]);
  }
  stream.resize(length);
  return stream;
}

}  // namespace vl
