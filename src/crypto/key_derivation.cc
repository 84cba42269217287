#include "crypto/key_derivation.h"

#include "crypto/aes_cipher.h"

namespace vl {

ByteBuffer KeyPair::key(uint32_t i) const {
  if (i >= count) return {};
  return ByteBuffer(keys.data() + i * kKeySize, kKeySize);
}

KeyPair deriveKeys(std::span<const uint8_t> masterKey) {
  KeyPair pair;
  AesCipher cipher(masterKey);
  if (!cipher.valid()) return pair;
  pair.keys = cipher.keystream(2 * KeyPair::kKeySize);
  pair.count = 2;
  return pair;
}

}  // namespace vl
