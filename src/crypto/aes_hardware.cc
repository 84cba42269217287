// AES with the AES-NI instructions: constant time, and the path every
// processor that reports the instructions takes, key schedule included (its
// S-box comes from AESKEYGENASSIST, InvMixColumns from AESIMC, so no table is
// indexed by key bytes). Compiled for those instructions function by
// function, so the rest of the program stays portable. CBC decryption and the counter generator work eight independent
// blocks at a time; CBC encryption is serial by nature.
#include "crypto/aes_blocks.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include <cstring>

#include "core/secure_wipe.h"

namespace vl::aes_internal {
namespace {

#define VL_AES_TARGET __attribute__((target("aes,ssse3,sse4.1")))

VL_AES_TARGET inline __m128i loadBlock(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

VL_AES_TARGET inline void storeBlock(uint8_t* p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// SubWord(RotWord(w)) (or SubWord(w) alone) for a key-schedule word held
// little-endian, so that RotWord is a rotation right by 8 bits.
// AESKEYGENASSIST works on words 1 and 3 of its input: word 0 of its result
// is SubWord, word 1 the rotated form; its round constant is left at 0 and
// added by the caller, because the instruction takes it as an immediate.
VL_AES_TARGET inline uint32_t substituteWord(uint32_t w, bool rotate) {
  __m128i assist = _mm_aeskeygenassist_si128(_mm_set_epi32(0, 0, static_cast<int>(w), 0), 0);
  if (rotate) assist = _mm_srli_si128(assist, 4);
  return static_cast<uint32_t>(_mm_cvtsi128_si32(assist));
}

VL_AES_TARGET uint32_t expandKey(const uint8_t* key, size_t length, uint8_t* encryptionKeys,
                                 uint8_t* decryptionKeys) {
  if (length != 16 && length != 24 && length != 32) return 0;
  const uint32_t nk = static_cast<uint32_t>(length / 4);
  const uint32_t rounds = nk + 6;
  const uint32_t total = 4 * (rounds + 1);
  // Words read little-endian: stored back the same way, they are the round
  // keys in FIPS-197 byte order.
  uint32_t w[60];
  std::memcpy(w, key, length);
  uint32_t rcon = 1;
  for (uint32_t i = nk; i < total; ++i) {
    uint32_t t = w[i - 1];
    if (i % nk == 0) {
      t = substituteWord(t, true) ^ rcon;
      rcon = (rcon << 1) ^ ((rcon >> 7) * 0x11b);
    } else if (nk > 6 && i % nk == 4) {
      t = substituteWord(t, false);
    }
    w[i] = w[i - nk] ^ t;
  }
  std::memcpy(encryptionKeys, w, 4 * total);
  // Equivalent inverse cipher: round keys reversed, InvMixColumns applied to
  // all but the first and the last.
  for (uint32_t r = 0; r <= rounds; ++r) {
    __m128i k = loadBlock(encryptionKeys + 16 * (rounds - r));
    if (r != 0 && r != rounds) k = _mm_aesimc_si128(k);
    storeBlock(decryptionKeys + 16 * r, k);
  }
  secureWipe(w, sizeof w);
  return rounds;
}

template <uint32_t Rounds>
VL_AES_TARGET void cbcEncryptRounds(const uint8_t* keys, uint8_t chaining[16], uint8_t* data,
                                    size_t blocks) {
  __m128i k[Rounds + 1];
  for (uint32_t r = 0; r <= Rounds; ++r) k[r] = loadBlock(keys + 16 * r);
  __m128i c = loadBlock(chaining);
  for (; blocks > 0; --blocks, data += 16) {
    c = _mm_xor_si128(c, _mm_xor_si128(loadBlock(data), k[0]));
    for (uint32_t r = 1; r < Rounds; ++r) c = _mm_aesenc_si128(c, k[r]);
    c = _mm_aesenclast_si128(c, k[Rounds]);
    storeBlock(data, c);
  }
  storeBlock(chaining, c);
}

template <uint32_t Rounds>
VL_AES_TARGET void cbcDecryptRounds(const uint8_t* keys, uint8_t chaining[16], uint8_t* data,
                                    size_t blocks) {
  __m128i k[Rounds + 1];
  for (uint32_t r = 0; r <= Rounds; ++r) k[r] = loadBlock(keys + 16 * r);
  __m128i previous = loadBlock(chaining);
  for (; blocks >= 8; blocks -= 8, data += 128) {
    __m128i c[8], x[8];
    for (int i = 0; i < 8; ++i) {
      c[i] = loadBlock(data + 16 * i);
      x[i] = _mm_xor_si128(c[i], k[0]);
    }
    for (uint32_t r = 1; r < Rounds; ++r) {
      for (int i = 0; i < 8; ++i) x[i] = _mm_aesdec_si128(x[i], k[r]);
    }
    // The CBC XOR folds into the last round key.
    x[0] = _mm_aesdeclast_si128(x[0], _mm_xor_si128(k[Rounds], previous));
    for (int i = 1; i < 8; ++i) x[i] = _mm_aesdeclast_si128(x[i], _mm_xor_si128(k[Rounds], c[i - 1]));
    for (int i = 0; i < 8; ++i) storeBlock(data + 16 * i, x[i]);
    previous = c[7];
  }
  for (; blocks > 0; --blocks, data += 16) {
    __m128i c = loadBlock(data);
    __m128i x = _mm_xor_si128(c, k[0]);
    for (uint32_t r = 1; r < Rounds; ++r) x = _mm_aesdec_si128(x, k[r]);
    storeBlock(data, _mm_aesdeclast_si128(x, _mm_xor_si128(k[Rounds], previous)));
    previous = c;
  }
  storeBlock(chaining, previous);
}

template <uint32_t Rounds>
VL_AES_TARGET void counterRounds(const uint8_t* keys, uint32_t first, uint8_t* out, size_t blocks) {
  __m128i k[Rounds + 1];
  for (uint32_t r = 0; r <= Rounds; ++r) k[r] = loadBlock(keys + 16 * r);
  uint32_t value = first;
  for (; blocks >= 8; blocks -= 8, out += 128, value += 8) {
    __m128i x[8];
    for (int i = 0; i < 8; ++i) {
      x[i] = _mm_xor_si128(_mm_set1_epi32(static_cast<int>(value + static_cast<uint32_t>(i))), k[0]);
    }
    for (uint32_t r = 1; r < Rounds; ++r) {
      for (int i = 0; i < 8; ++i) x[i] = _mm_aesenc_si128(x[i], k[r]);
    }
    for (int i = 0; i < 8; ++i) storeBlock(out + 16 * i, _mm_aesenclast_si128(x[i], k[Rounds]));
  }
  for (; blocks > 0; --blocks, out += 16, ++value) {
    __m128i x = _mm_xor_si128(_mm_set1_epi32(static_cast<int>(value)), k[0]);
    for (uint32_t r = 1; r < Rounds; ++r) x = _mm_aesenc_si128(x, k[r]);
    storeBlock(out, _mm_aesenclast_si128(x, k[Rounds]));
  }
}

template <uint32_t Rounds>
VL_AES_TARGET void encryptBlockRounds(const uint8_t* keys, uint8_t block[16]) {
  __m128i x = _mm_xor_si128(loadBlock(block), loadBlock(keys));
  for (uint32_t r = 1; r < Rounds; ++r) x = _mm_aesenc_si128(x, loadBlock(keys + 16 * r));
  storeBlock(block, _mm_aesenclast_si128(x, loadBlock(keys + 16 * Rounds)));
}

template <uint32_t Rounds>
VL_AES_TARGET void decryptBlockRounds(const uint8_t* keys, uint8_t block[16]) {
  __m128i x = _mm_xor_si128(loadBlock(block), loadBlock(keys));
  for (uint32_t r = 1; r < Rounds; ++r) x = _mm_aesdec_si128(x, loadBlock(keys + 16 * r));
  storeBlock(block, _mm_aesdeclast_si128(x, loadBlock(keys + 16 * Rounds)));
}

// The round count picks one instantiation, so each loop has its keys in
// registers and a fixed number of rounds.
#define VL_AES_BY_ROUNDS(function, ...)                   \
  switch (rounds) {                                       \
    case 10: return function<10>(__VA_ARGS__);            \
    case 12: return function<12>(__VA_ARGS__);            \
    default: return function<14>(__VA_ARGS__);            \
  }

void cbcEncrypt(const uint8_t* keys, uint32_t rounds, uint8_t chaining[16], uint8_t* data,
                size_t blocks) {
  VL_AES_BY_ROUNDS(cbcEncryptRounds, keys, chaining, data, blocks)
}

void cbcDecrypt(const uint8_t* keys, uint32_t rounds, uint8_t chaining[16], uint8_t* data,
                size_t blocks) {
  VL_AES_BY_ROUNDS(cbcDecryptRounds, keys, chaining, data, blocks)
}

void counter(const uint8_t* keys, uint32_t rounds, uint32_t first, uint8_t* out, size_t blocks) {
  VL_AES_BY_ROUNDS(counterRounds, keys, first, out, blocks)
}

void encryptBlock(const uint8_t* keys, uint32_t rounds, uint8_t block[16]) {
  VL_AES_BY_ROUNDS(encryptBlockRounds, keys, block)
}

void decryptBlock(const uint8_t* keys, uint32_t rounds, uint8_t block[16]) {
  VL_AES_BY_ROUNDS(decryptBlockRounds, keys, block)
}

}  // namespace

const AesBlockFunctions& hardwareFunctions() {
  static const AesBlockFunctions functions{expandKey, cbcEncrypt,   cbcDecrypt,
                                           counter,   encryptBlock, decryptBlock};
  return functions;
}

}  // namespace vl::aes_internal

#else

namespace vl::aes_internal {

// Without the instructions the portable code serves both roles.
const AesBlockFunctions& hardwareFunctions() { return portableFunctions(); }

}  // namespace vl::aes_internal

#endif
