// appendTaggedBody: the sealed body of a list or section record made around
// arbitrary plain bytes, with a tag that checks, so that a fuzz target gets
// past the tag check to the decryption, padding and decompression behind it.
#pragma once

#include <cstdint>
#include <span>

#include "core/byte_buffer.h"
#include "crypto/aes_cipher.h"
#include "crypto/hmac_sha256.h"
#include "crypto/key_derivation.h"

namespace vl::fuzz {

// Appends to `record` the body sealing `plain` under `masterKey` with the
// given IV. Version 1: encrypted and authenticated with the two keys derived
// from the master key, the tag at the end of the one body field. Version 0:
// the master key itself for both, the tag in a field of its own. False,
// appending nothing, when the encryption fails.
inline bool appendTaggedBody(ByteBuffer& record, std::span<const uint8_t> plain, uint16_t version,
                             std::span<const uint8_t> masterKey,
                             std::span<const uint8_t, AesCipher::kBlockSize> iv) {
  KeyPair keys = deriveKeys(masterKey);
  ByteBuffer encryptionKey = version == 1 ? keys.key(0) : ByteBuffer(masterKey);
  ByteBuffer macKey = version == 1 ? keys.key(1) : ByteBuffer(masterKey);
  AesCipher aes(encryptionKey);
  aes.setChainingValue(iv);
  ByteBuffer ciphertext(plain);
  if (!aes.encryptBuffer(ciphertext)) return false;
  ByteBuffer sealed(iv);
  sealed.appendBytes(ciphertext);
  ByteBuffer tag = HmacSha256(macKey).mac(sealed);
  if (version == 1) {
    sealed.appendBytes(tag);
    record.appendCounted(sealed);
  } else {
    record.appendCounted(sealed);
    record.appendCounted(tag);
  }
  return true;
}

}  // namespace vl::fuzz
