// The AES block work behind AesCipher, in two implementations with the same
// contract: the AES-NI instructions, used whenever the processor reports
// them, and portable T-table code, the fallback (it leaks timing through the
// cache, so it is never preferred).
//
// The key schedule exists twice as well: the portable one looks the S-box up
// with key bytes, so a key set on the hardware path is expanded there too.
//
// Round keys are 16-byte blocks in FIPS-197 byte order: `rounds + 1` of them,
// encryption keys for the encrypting functions and equivalent-inverse-cipher
// keys for the decrypting ones. Data is worked in place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vl::aes_internal {

struct AesBlockFunctions {
  // FIPS-197 key expansion of a 16, 24 or 32-byte key into both key arrays
  // (each 15 blocks long); returns the number of rounds, 0 for other
  // lengths. Both implementations give the same keys.
  uint32_t (*expandKey)(const uint8_t* key, size_t length, uint8_t* encryptionKeys,
                        uint8_t* decryptionKeys);
  // CBC over whole blocks; `chaining` is updated to the last ciphertext block.
  void (*cbcEncrypt)(const uint8_t* keys, uint32_t rounds, uint8_t chaining[16], uint8_t* data,
                     size_t blocks);
  void (*cbcDecrypt)(const uint8_t* keys, uint32_t rounds, uint8_t chaining[16], uint8_t* data,
                     size_t blocks);
  // Blocks of the counter generator: block j is the encryption of the value
  // first + j written little-endian four times.
  void (*counter)(const uint8_t* keys, uint32_t rounds, uint32_t first, uint8_t* out,
                  size_t blocks);
  void (*encryptBlock)(const uint8_t* keys, uint32_t rounds, uint8_t block[16]);
  void (*decryptBlock)(const uint8_t* keys, uint32_t rounds, uint8_t block[16]);
};

const AesBlockFunctions& portableFunctions();
// Only valid where useAesInstructions() allows it.
const AesBlockFunctions& hardwareFunctions();

}  // namespace vl::aes_internal
