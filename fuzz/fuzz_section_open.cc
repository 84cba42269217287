// SectionCipher::open on arbitrary bytes. A forged tag almost never passes,
// so when the first input byte is odd the rest is given its correct tag
// first: that drives the IV split, the CBC decryption and the unpadding with
// hostile bodies too. Every failure must leave the buffer empty.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/byte_buffer.h"
#include "crypto/hmac_sha256.h"
#include "crypto/key_derivation.h"
#include "crypto/random_pool.h"
#include "crypto/section_cipher.h"

namespace {

const vl::ByteBuffer& masterKey() {
  static const vl::ByteBuffer key(std::string(32, '\x5a'));
  return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static vl::RandomPool pool;
  static vl::SectionCipher cipher(masterKey(), &pool);
  static vl::HmacSha256 mac(vl::deriveKeys(masterKey()).key(1));
  if (size == 0) return 0;
  vl::ByteBuffer buffer(data + 1, size - 1);
  if (data[0] & 1) buffer.appendBytes(mac.mac(vl::ByteBuffer(data + 1, size - 1)));
  const uint32_t before = buffer.size();
  if (cipher.open(buffer)) {
    // At least the IV and the tag came off.
    if (buffer.size() + 48 > before) std::abort();
  } else if (!buffer.empty()) {
    std::abort();
  }
  return 0;
}
