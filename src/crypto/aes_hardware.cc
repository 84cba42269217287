// AES with the AES-NI instructions: constant time, and the path every
// processor that reports the instructions takes. Compiled for those
// instructions function by function, so the rest of the program stays
// portable. CBC decryption and the counter generator work eight independent
// blocks at a time; CBC encryption is serial by nature.
#include "crypto/aes_blocks.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

namespace vl::aes_internal {
namespace {

#define VL_AES_TARGET __attribute__((target("aes,ssse3,sse4.1")))

VL_AES_TARGET inline __m128i loadBlock(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

VL_AES_TARGET inline void storeBlock(uint8_t* p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
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
  static const AesBlockFunctions functions{cbcEncrypt, cbcDecrypt, counter, encryptBlock,
                                           decryptBlock};
  return functions;
}

}  // namespace vl::aes_internal

#else

namespace vl::aes_internal {

// Without the instructions the portable code serves both roles.
const AesBlockFunctions& hardwareFunctions() { return portableFunctions(); }

}  // namespace vl::aes_internal

#endif
