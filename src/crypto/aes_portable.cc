// Portable AES: the key schedule and the T-table block functions. Table
// lookups indexed by secret bytes leave traces in the cache, which is why
// the AES instructions (aes_hardware.cc) are preferred, for the key schedule
// as for the blocks, wherever the processor has them.
#include <array>
#include <cstring>

#include "core/secure_wipe.h"
#include "crypto/aes_blocks.h"

namespace vl::aes_internal {
namespace {

constexpr uint8_t xtime(uint8_t x) { return static_cast<uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1b : 0)); }

constexpr uint8_t gfMultiply(uint8_t a, uint8_t b) {
  uint8_t product = 0;
  while (b != 0) {
    if (b & 1) product ^= a;
    a = xtime(a);
    b >>= 1;
  }
  return product;
}

constexpr uint8_t rotl8(uint8_t x, int n) { return static_cast<uint8_t>((x << n) | (x >> (8 - n))); }

// Walks the multiplicative group with generator 3: p runs through 3^i and q
// through 3^-i, so q is the inverse of p; the affine map of q is S(p).
constexpr std::array<uint8_t, 256> makeSbox() {
  std::array<uint8_t, 256> sbox{};
  uint8_t p = 1, q = 1;
  do {
    p = static_cast<uint8_t>(p ^ (p << 1) ^ ((p & 0x80) ? 0x1b : 0));
    q = static_cast<uint8_t>(q ^ (q << 1));
    q = static_cast<uint8_t>(q ^ (q << 2));
    q = static_cast<uint8_t>(q ^ (q << 4));
    if (q & 0x80) q ^= 0x09;
    sbox[p] = static_cast<uint8_t>(q ^ rotl8(q, 1) ^ rotl8(q, 2) ^ rotl8(q, 3) ^ rotl8(q, 4) ^ 0x63);
  } while (p != 1);
  sbox[0] = 0x63;
  return sbox;
}

constexpr std::array<uint8_t, 256> kSbox = makeSbox();

constexpr std::array<uint8_t, 256> makeInverseSbox() {
  std::array<uint8_t, 256> inverse{};
  for (int x = 0; x < 256; ++x) inverse[kSbox[x]] = static_cast<uint8_t>(x);
  return inverse;
}

constexpr std::array<uint8_t, 256> kInverseSbox = makeInverseSbox();

constexpr uint32_t word(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
  return (static_cast<uint32_t>(b0) << 24) | (static_cast<uint32_t>(b1) << 16) |
         (static_cast<uint32_t>(b2) << 8) | b3;
}

constexpr uint32_t rotr8(uint32_t x, int times) {
  for (int i = 0; i < times; ++i) x = (x >> 8) | (x << 24);
  return x;
}

// Te[t][x]: SubBytes, ShiftRows and MixColumns of byte x landing in row t.
constexpr std::array<std::array<uint32_t, 256>, 4> makeEncryptTables() {
  std::array<std::array<uint32_t, 256>, 4> tables{};
  for (int x = 0; x < 256; ++x) {
    uint8_t s = kSbox[x];
    uint32_t t0 = word(gfMultiply(s, 2), s, s, gfMultiply(s, 3));
    for (int t = 0; t < 4; ++t) tables[t][x] = rotr8(t0, t);
  }
  return tables;
}

constexpr std::array<std::array<uint32_t, 256>, 4> makeDecryptTables() {
  std::array<std::array<uint32_t, 256>, 4> tables{};
  for (int x = 0; x < 256; ++x) {
    uint8_t s = kInverseSbox[x];
    uint32_t t0 = word(gfMultiply(s, 14), gfMultiply(s, 9), gfMultiply(s, 13), gfMultiply(s, 11));
    for (int t = 0; t < 4; ++t) tables[t][x] = rotr8(t0, t);
  }
  return tables;
}

constexpr auto kTe = makeEncryptTables();
constexpr auto kTd = makeDecryptTables();

inline uint32_t load(const uint8_t* p) { return word(p[0], p[1], p[2], p[3]); }

inline void store(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

inline uint8_t byteOf(uint32_t v, int index) { return static_cast<uint8_t>(v >> (24 - 8 * index)); }

void encryptOne(const uint8_t* keys, uint32_t rounds, uint8_t block[16]) {
  uint32_t s0 = load(block) ^ load(keys);
  uint32_t s1 = load(block + 4) ^ load(keys + 4);
  uint32_t s2 = load(block + 8) ^ load(keys + 8);
  uint32_t s3 = load(block + 12) ^ load(keys + 12);
  for (uint32_t r = 1; r < rounds; ++r) {
    const uint8_t* k = keys + 16 * r;
    uint32_t t0 = kTe[0][byteOf(s0, 0)] ^ kTe[1][byteOf(s1, 1)] ^ kTe[2][byteOf(s2, 2)] ^
                  kTe[3][byteOf(s3, 3)] ^ load(k);
    uint32_t t1 = kTe[0][byteOf(s1, 0)] ^ kTe[1][byteOf(s2, 1)] ^ kTe[2][byteOf(s3, 2)] ^
                  kTe[3][byteOf(s0, 3)] ^ load(k + 4);
    uint32_t t2 = kTe[0][byteOf(s2, 0)] ^ kTe[1][byteOf(s3, 1)] ^ kTe[2][byteOf(s0, 2)] ^
                  kTe[3][byteOf(s1, 3)] ^ load(k + 8);
    uint32_t t3 = kTe[0][byteOf(s3, 0)] ^ kTe[1][byteOf(s0, 1)] ^ kTe[2][byteOf(s1, 2)] ^
                  kTe[3][byteOf(s2, 3)] ^ load(k + 12);
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  const uint8_t* k = keys + 16 * rounds;
  const uint32_t s[4] = {s0, s1, s2, s3};
  for (int c = 0; c < 4; ++c) {
    uint32_t v = word(kSbox[byteOf(s[c], 0)], kSbox[byteOf(s[(c + 1) & 3], 1)],
                      kSbox[byteOf(s[(c + 2) & 3], 2)], kSbox[byteOf(s[(c + 3) & 3], 3)]);
    store(block + 4 * c, v ^ load(k + 4 * c));
  }
}

void decryptOne(const uint8_t* keys, uint32_t rounds, uint8_t block[16]) {
  uint32_t s0 = load(block) ^ load(keys);
  uint32_t s1 = load(block + 4) ^ load(keys + 4);
  uint32_t s2 = load(block + 8) ^ load(keys + 8);
  uint32_t s3 = load(block + 12) ^ load(keys + 12);
  for (uint32_t r = 1; r < rounds; ++r) {
    const uint8_t* k = keys + 16 * r;
    uint32_t t0 = kTd[0][byteOf(s0, 0)] ^ kTd[1][byteOf(s3, 1)] ^ kTd[2][byteOf(s2, 2)] ^
                  kTd[3][byteOf(s1, 3)] ^ load(k);
    uint32_t t1 = kTd[0][byteOf(s1, 0)] ^ kTd[1][byteOf(s0, 1)] ^ kTd[2][byteOf(s3, 2)] ^
                  kTd[3][byteOf(s2, 3)] ^ load(k + 4);
    uint32_t t2 = kTd[0][byteOf(s2, 0)] ^ kTd[1][byteOf(s1, 1)] ^ kTd[2][byteOf(s0, 2)] ^
                  kTd[3][byteOf(s3, 3)] ^ load(k + 8);
    uint32_t t3 = kTd[0][byteOf(s3, 0)] ^ kTd[1][byteOf(s2, 1)] ^ kTd[2][byteOf(s1, 2)] ^
                  kTd[3][byteOf(s0, 3)] ^ load(k + 12);
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  const uint8_t* k = keys + 16 * rounds;
  const uint32_t s[4] = {s0, s1, s2, s3};
  for (int c = 0; c < 4; ++c) {
    uint32_t v = word(kInverseSbox[byteOf(s[c], 0)], kInverseSbox[byteOf(s[(c + 3) & 3], 1)],
                      kInverseSbox[byteOf(s[(c + 2) & 3], 2)], kInverseSbox[byteOf(s[(c + 1) & 3], 3)]);
    store(block + 4 * c, v ^ load(k + 4 * c));
  }
}

inline void xorBlock(uint8_t* target, const uint8_t* source) {
  for (int i = 0; i < 16; ++i) target[i] ^= source[i];
}

void cbcEncrypt(const uint8_t* keys, uint32_t rounds, uint8_t chaining[16], uint8_t* data,
                size_t blocks) {
  for (; blocks > 0; --blocks, data += 16) {
    xorBlock(data, chaining);
    encryptOne(keys, rounds, data);
    std::memcpy(chaining, data, 16);
  }
}

void cbcDecrypt(const uint8_t* keys, uint32_t rounds, uint8_t chaining[16], uint8_t* data,
                size_t blocks) {
  uint8_t ciphertext[16];
  for (; blocks > 0; --blocks, data += 16) {
    std::memcpy(ciphertext, data, 16);
    decryptOne(keys, rounds, data);
    xorBlock(data, chaining);
    std::memcpy(chaining, ciphertext, 16);
  }
}

void counter(const uint8_t* keys, uint32_t rounds, uint32_t first, uint8_t* out, size_t blocks) {
  for (size_t j = 0; j < blocks; ++j, out += 16) {
    uint32_t value = first + static_cast<uint32_t>(j);
    for (int i = 0; i < 16; ++i) out[i] = static_cast<uint8_t>(value >> (8 * (i & 3)));
    encryptOne(keys, rounds, out);
  }
}

// xtime without a branch on the key byte.
inline uint8_t doubled(uint8_t x) {
  return static_cast<uint8_t>((x << 1) ^ (static_cast<uint8_t>(-(x >> 7)) & 0x1b));
}

// InvMixColumns as a small fix-up followed by MixColumns: multiplying by
// the inverse matrix equals adding 4 (a0 + a2) to a0 and a2 and 4 (a1 + a3)
// to a1 and a3, then multiplying by the forward one. A key is expanded for
// every section, so this runs often; it takes no table and no branch.
uint32_t invMixColumn(uint32_t w) {
  uint8_t a0 = byteOf(w, 0), a1 = byteOf(w, 1), a2 = byteOf(w, 2), a3 = byteOf(w, 3);
  const uint8_t u = doubled(doubled(a0 ^ a2));
  const uint8_t v = doubled(doubled(a1 ^ a3));
  a0 ^= u;
  a1 ^= v;
  a2 ^= u;
  a3 ^= v;
  const uint8_t all = a0 ^ a1 ^ a2 ^ a3;
  return word(static_cast<uint8_t>(a0 ^ all ^ doubled(a0 ^ a1)),
              static_cast<uint8_t>(a1 ^ all ^ doubled(a1 ^ a2)),
              static_cast<uint8_t>(a2 ^ all ^ doubled(a2 ^ a3)),
              static_cast<uint8_t>(a3 ^ all ^ doubled(a3 ^ a0)));
}

uint32_t expandKey(const uint8_t* key, size_t length, uint8_t* encryptionKeys,
                   uint8_t* decryptionKeys) {
  if (length != 16 && length != 24 && length != 32) return 0;
  const uint32_t nk = static_cast<uint32_t>(length / 4);
  const uint32_t rounds = nk + 6;
  const uint32_t total = 4 * (rounds + 1);
  uint32_t w[60];
  for (uint32_t i = 0; i < nk; ++i) w[i] = load(key + 4 * i);
  uint8_t rcon = 1;
  for (uint32_t i = nk; i < total; ++i) {
    uint32_t t = w[i - 1];
    if (i % nk == 0) {
      t = word(kSbox[byteOf(t, 1)], kSbox[byteOf(t, 2)], kSbox[byteOf(t, 3)], kSbox[byteOf(t, 0)]) ^
          (static_cast<uint32_t>(rcon) << 24);
      rcon = xtime(rcon);
    } else if (nk > 6 && i % nk == 4) {
      t = word(kSbox[byteOf(t, 0)], kSbox[byteOf(t, 1)], kSbox[byteOf(t, 2)], kSbox[byteOf(t, 3)]);
    }
    w[i] = w[i - nk] ^ t;
  }
  for (uint32_t i = 0; i < total; ++i) store(encryptionKeys + 4 * i, w[i]);
  // Equivalent inverse cipher: round keys reversed, InvMixColumns applied to
  // all but the first and the last.
  for (uint32_t r = 0; r <= rounds; ++r) {
    for (uint32_t c = 0; c < 4; ++c) {
      uint32_t v = w[4 * (rounds - r) + c];
      if (r != 0 && r != rounds) v = invMixColumn(v);
      store(decryptionKeys + 16 * r + 4 * c, v);
    }
  }
  secureWipe(w, sizeof w);
  return rounds;
}

}  // namespace

const AesBlockFunctions& portableFunctions() {
  static const AesBlockFunctions functions{expandKey,  cbcEncrypt, cbcDecrypt,
                                           counter,    encryptOne, decryptOne};
  return functions;
}

}  // namespace vl::aes_internal
